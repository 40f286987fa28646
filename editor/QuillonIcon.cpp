#include "QuillonIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

QPixmap DrawQuillonIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);

    // The cable: one curve from plug to plug.
    QPainterPath cable;
    cable.moveTo(5, 9);
    cable.cubicTo(5, 24, 27, 8, 27, 23);
    p.setPen(QPen(QColor(40, 40, 48), 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(cable);

    // Two USB plugs.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(150, 156, 166));
    p.drawRoundedRect(QRectF(1.5, 1, 7, 8), 1, 1);
    p.drawRoundedRect(QRectF(23.5, 23, 7, 8), 1, 1);
    p.setBrush(QColor(60, 64, 72));
    p.drawRect(QRectF(3.2, 2.5, 1.4, 2));
    p.drawRect(QRectF(5.4, 2.5, 1.4, 2));
    p.drawRect(QRectF(25.2, 27.5, 1.4, 2));
    p.drawRect(QRectF(27.4, 27.5, 1.4, 2));

    // The bridge chip in the middle, with its pins, and a pen writing into it.
    p.setBrush(QColor(24, 92, 168));
    p.drawRoundedRect(QRectF(10, 10, 12, 12), 1.5, 1.5);
    p.setBrush(QColor(210, 170, 60));
    for (int i = 0; i < 3; ++i) {
        p.drawRect(QRectF(12 + 3.2 * i, 8, 1.4, 2));
        p.drawRect(QRectF(12 + 3.2 * i, 22, 1.4, 2));
    }
    p.setBrush(Qt::white);
    QPolygonF nib;
    nib << QPointF(13, 19) << QPointF(18.5, 13.5) << QPointF(19.5, 14.5) << QPointF(14, 20)
        << QPointF(12.5, 20.5);
    p.drawPolygon(nib);
    return pixmap;
}

QIcon QuillonIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(DrawQuillonIcon(size));
    return icon;
}
