#include "RedStatic.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace production {

CRedStatic::CRedStatic(QWidget *parent) : QLabel(parent)
{
}

QColor CRedStatic::TextColour(bool green)
{
    return green ? QColor(0, 128, 0) : QColor(255, 0, 0);
}

QFont CRedStatic::VerdictFont() const
{
    // The height names the whole character cell, as a positive font height does in a classic dialog
    // toolkit; Qt's pixel size is the em height, so scale by the face's own cell-to-em ratio.
    QFont font(QStringLiteral("Arial"));
    font.setWeight(QFont::Bold);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    const int height = m_nFontHeight > 0 ? m_nFontHeight : 1;
    font.setPixelSize(height);
    const int cell = QFontMetrics(font).height();
    if (cell > 0)
        font.setPixelSize(std::max(1, int(std::lround(double(height) * height / cell))));
    return font;
}

void CRedStatic::paintEvent(QPaintEvent *)
{
    const QString label = text();
    if (label.isEmpty())
        return;
    QPainter painter(this);
    painter.setFont(VerdictFont());
    painter.setPen(TextColour(m_bGreen));
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.drawText(contentsRect(), Qt::AlignCenter | Qt::TextSingleLine, label);
}

} // namespace production
