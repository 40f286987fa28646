// The installed menu icons come from the programs' own drawing code: every size must show the same
// picture (not a 48-pixel drawing in a corner of a larger canvas, nor a blurred enlargement), with a
// transparent background, and the build's renderer must write every file the install rules expect.

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>

#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>

#include "QuillonIcon.h"
#include "RunCommand.h"
#include "TamberIcons.h"
#include "TempDir.h"

namespace {

QGuiApplication &App()
{
    static int argc = 1;
    static char name[] = "packaging_tests";
    static char *argv[] = {name, nullptr};
    static QGuiApplication *app = new QGuiApplication(argc, argv);
    return *app;
}

// Mean difference per channel, 0 to 255, of two same-sized images (alpha included).
double Difference(const QImage &a, const QImage &b)
{
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int column = 0; column < x.width(); ++column) {
            const QRgb p = x.pixel(column, row), q = y.pixel(column, row);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q))
                   + std::abs(qAlpha(p) - qAlpha(q));
        }
    return sum / (4.0 * x.width() * x.height());
}

int OpaquePixels(const QImage &image)
{
    int count = 0;
    for (int row = 0; row < image.height(); ++row)
        for (int column = 0; column < image.width(); ++column)
            count += qAlpha(image.pixel(column, row)) > 128;
    return count;
}

struct Drawn {
    const char *name;
    std::function<QPixmap(int)> draw;
};

const Drawn kPrograms[] = {
    {"qt7730-quillon", [](int size) { return DrawQuillonIcon(size); }},
    {"qt7730-tamber", [](int size) { return production::DrawIcon(production::IDI_PROGRAM, size); }},
};

TEST(MenuIcons, EverySizeIsTheSamePictureScaled)
{
    App();
    for (const Drawn &program : kPrograms) {
        const QImage reference = program.draw(48).toImage();
        const double covered = OpaquePixels(reference) / (48.0 * 48.0);
        ASSERT_GT(covered, 0.1) << program.name;
        for (int size : {16, 22, 24, 32, 64, 128, 256}) {
            const QImage image = program.draw(size).toImage();
            ASSERT_EQ(image.size(), QSize(size, size)) << program.name << " " << size;
            EXPECT_EQ(qAlpha(image.pixel(0, size - 1)), 0) << program.name << " " << size;
            // The same share of the square is covered at every size...
            EXPECT_NEAR(OpaquePixels(image) / double(size * size), covered, 0.08) << program.name << " " << size;
            // ... and, brought to 48 pixels, it looks like the 48-pixel drawing.
            if (size > 48) {
                const QImage down = image.scaled(48, 48, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
                EXPECT_LT(Difference(down, reference), 12.0) << program.name << " " << size;
            }
        }
    }
    // Tamber's stage pictures keep their 48-pixel size; sizes and ids without a picture give none.
    EXPECT_EQ(production::DrawIcon(production::IDI_GOOD).size(), QSize(48, 48));
    EXPECT_TRUE(production::DrawIcon(production::IDI_PROGRAM, 0).isNull());
    EXPECT_TRUE(production::DrawIcon(131, 256).isNull());
    // The window icon offers the large sizes too, drawn rather than enlarged.
    EXPECT_TRUE(production::ProgramIcon().availableSizes().contains(QSize(256, 256)));
}

TEST(MenuIcons, RendererWritesEveryFileTheInstallExpects)
{
    App();
    TempDir dir;
    const std::string out = dir.file("hicolor");
    const CommandResult result = RunCommand("QT_QPA_PLATFORM=offscreen " RENDER_ICONS_PATH " " + out + " 2>&1");
    ASSERT_EQ(result.status, 0) << result.out;
    for (const Drawn &program : kPrograms)
        for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
            const std::string file =
                out + "/" + std::to_string(size) + "x" + std::to_string(size) + "/apps/" + program.name + ".png";
            QImage image;
            ASSERT_TRUE(image.load(QString::fromStdString(file))) << file;
            EXPECT_EQ(image.size(), QSize(size, size)) << file;
            EXPECT_TRUE(image.hasAlphaChannel()) << file;
            EXPECT_LT(Difference(image, program.draw(size).toImage()), 1.0) << file;
        }

    // A folder it cannot create, and a bad command line, fail loudly instead of leaving holes.
    dir.write("file", {1});
    EXPECT_EQ(RunCommand("QT_QPA_PLATFORM=offscreen " RENDER_ICONS_PATH " " + dir.file("file") + " 2>&1").status, 1);
    EXPECT_EQ(RunCommand(RENDER_ICONS_PATH " 2>&1").status, 2);
}

} // namespace
