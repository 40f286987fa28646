#include "TamberIcons.h"

#include <QPainter>
#include <QPainterPath>

namespace production {

namespace {

// A small grey box with a front panel and a status lamp, standing for one cable end.
void DrawDeviceBox(QPainter &p, const QRectF &box, const QColor &lamp)
{
    p.setPen(QPen(QColor(70, 70, 70), 1.5));
    QLinearGradient shade(box.topLeft(), box.bottomLeft());
    shade.setColorAt(0, QColor(215, 215, 215));
    shade.setColorAt(1, QColor(150, 150, 150));
    p.setBrush(shade);
    p.drawRoundedRect(box, 3, 3);
    const QRectF panel = box.adjusted(4, 4, -4, -box.height() / 2);
    p.setBrush(QColor(90, 100, 110));
    p.drawRect(panel);
    p.setPen(Qt::NoPen);
    p.setBrush(lamp);
    p.drawEllipse(QPointF(box.right() - 7, box.bottom() - 6), 2.5, 2.5);
}

void DrawMagnifier(QPainter &p, const QPointF &centre, qreal radius)
{
    p.setPen(QPen(QColor(60, 40, 20), 5, Qt::SolidLine, Qt::RoundCap));
    const QPointF handleStart = centre + QPointF(radius * 0.7, radius * 0.7);
    p.drawLine(handleStart, handleStart + QPointF(radius * 0.9, radius * 0.9));
    p.setPen(QPen(QColor(40, 40, 40), 2.5));
    p.setBrush(QColor(180, 220, 255, 140));
    p.drawEllipse(centre, radius, radius);
}

void DrawArrow(QPainter &p, const QPointF &tip)
{
    QPainterPath arrow;
    arrow.moveTo(tip);
    arrow.lineTo(tip + QPointF(-11, -11));
    arrow.lineTo(tip + QPointF(-11, -5));
    arrow.lineTo(tip + QPointF(-22, -5));
    arrow.lineTo(tip + QPointF(-22, 5));
    arrow.lineTo(tip + QPointF(-11, 5));
    arrow.lineTo(tip + QPointF(-11, 11));
    arrow.closeSubpath();
    p.setPen(QPen(QColor(0, 90, 0), 1.5));
    p.setBrush(QColor(30, 170, 40));
    p.drawPath(arrow);
}

} // namespace

QPixmap DrawIcon(int id)
{
    return DrawIcon(id, kIconSize);
}

QPixmap DrawIcon(int id, int size)
{
    if (size <= 0)
        return {};
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(qreal(size) / kIconSize, qreal(size) / kIconSize);
    switch (id) {
    case IDI_SEARCHING:
    case IDI_SEARCHING2:
        DrawDeviceBox(p, QRectF(3, 20, 30, 24), id == IDI_SEARCHING ? QColor(250, 190, 0) : QColor(0, 160, 255));
        DrawMagnifier(p, QPointF(28, 17), 11);
        break;
    case IDI_FOUND:
        DrawDeviceBox(p, QRectF(3, 20, 30, 24), QColor(40, 200, 40));
        DrawArrow(p, QPointF(46, 13));
        break;
    case IDI_GOOD:
        p.setPen(QPen(QColor(20, 150, 30), 7));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(24, 24), 17, 17);
        break;
    case IDI_BAD:
        p.setPen(QPen(QColor(210, 20, 20), 8, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(10, 10), QPointF(38, 38));
        p.drawLine(QPointF(38, 10), QPointF(10, 38));
        break;
    case IDI_PROGRAM: {
        DrawDeviceBox(p, QRectF(2, 4, 18, 16), QColor(40, 200, 40));
        DrawDeviceBox(p, QRectF(28, 28, 18, 16), QColor(40, 200, 40));
        p.setPen(QPen(QColor(30, 30, 30), 3, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        QPainterPath cable;
        cable.moveTo(11, 20);
        cable.cubicTo(11, 40, 37, 8, 37, 28);
        p.drawPath(cable);
        break;
    }
    default:
        p.end();
        return {};
    }
    return pixmap;
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, kIconSize, 64, 128, 256})
        icon.addPixmap(DrawIcon(IDI_PROGRAM, size));
    return icon;
}

} // namespace production
