#include "DialogUnits.h"

#include <QFontMetrics>
#include <QWidget>

DialogUnits::DialogUnits(const QFont &font)
{
    const QFontMetrics metrics(font);
    // The average width over the Latin letters, rounded, as the toolkit the templates come from does.
    const int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = std::max(1, (width / 26 + 1) / 2);
    m_baseY = std::max(1, metrics.height());
}

QRect DialogUnits::rect(int x, int y, int width, int height) const
{
    return {this->x(x), this->y(y), this->x(width), this->y(height)};
}

void DialogUnits::place(QWidget *child, int x, int y, int width, int height) const
{
    child->setGeometry(rect(x, y, width, height));
}

void DialogUnits::fixSize(QWidget *dialog, int width, int height) const
{
    dialog->setFixedSize(size(width, height));
}
