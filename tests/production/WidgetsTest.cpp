#include "QtTestApp.h"
#include "RedStatic.h"
#include "TamberIcons.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

using namespace production;

namespace {

QImage Render(QWidget &w)
{
    QImage image(w.size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    w.render(&image);
    return image;
}

int CountPixels(const QImage &image, QColor colour)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += image.pixelColor(x, y) == colour;
    return n;
}

} // namespace

TEST(RedStatic, PaintsBoldCentredVerdictInItsColour)
{
    CRedStatic label;
    EXPECT_FALSE(label.m_bGreen);
    EXPECT_EQ(label.m_nFontHeight, 60);
    label.resize(200, 80);

    EXPECT_EQ(CountPixels(Render(label), QColor(255, 0, 0)), 0); // empty text: nothing

    label.setText("OK");
    label.m_bGreen = true;
    const QImage green = Render(label);
    EXPECT_GT(CountPixels(green, QColor(0, 128, 0)), 200);
    EXPECT_EQ(CountPixels(green, QColor(255, 0, 0)), 0);
    // Centred: the ink's bounding box sits in the middle of the label.
    int left = green.width(), right = 0, top = green.height(), bottom = 0;
    for (int y = 0; y < green.height(); ++y)
        for (int x = 0; x < green.width(); ++x)
            if (green.pixelColor(x, y) == QColor(0, 128, 0)) {
                left = std::min(left, x), right = std::max(right, x);
                top = std::min(top, y), bottom = std::max(bottom, y);
            }
    EXPECT_NEAR((left + right) / 2.0, green.width() / 2.0, 4);
    EXPECT_NEAR((top + bottom) / 2.0, green.height() / 2.0, 8);

    label.setText("N/G");
    label.m_bGreen = false;
    label.hide(); // changed while hidden, painted with the new state
    EXPECT_GT(CountPixels(Render(label), QColor(255, 0, 0)), 200);
    EXPECT_TRUE(label.VerdictFont().bold());
    EXPECT_NEAR(QFontMetrics(label.VerdictFont()).height(), 60, 1); // the whole cell, not the em
}

TEST(TamberIcons, FiveStagePicturesAndTheProgramIcon)
{
    for (int id : {128, 132, 133, 134, 135, 136}) {
        const QPixmap icon = DrawIcon(id);
        ASSERT_FALSE(icon.isNull()) << id;
        EXPECT_EQ(icon.size(), QSize(48, 48));
        const QImage image = icon.toImage();
        EXPECT_EQ(image.pixelColor(0, 47).alpha(), 0) << id; // transparent corner
    }
    EXPECT_TRUE(DrawIcon(131).isNull());
    EXPECT_TRUE(DrawIcon(137).isNull());
    EXPECT_FALSE(ProgramIcon().isNull());
}
