#include "platform/qt/AppIcon.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QWidget>

namespace kartivo::platform::qt {

QPixmap KartivoPicture(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 64.0;
    p.scale(s, s);

    // Four tiles: water, land, land, water, with thin grid lines between.
    const QColor water(120, 170, 220), land(150, 200, 120), land2(200, 215, 150), water2(100, 150, 205);
    const QRectF tiles[4] = {{4, 8, 26, 26}, {32, 8, 26, 26}, {4, 36, 26, 26}, {32, 36, 26, 26}};
    const QColor colours[4] = {water, land, land2, water2};
    for (int i = 0; i < 4; ++i) {
        p.fillRect(tiles[i], colours[i]);
    }
    p.setPen(QPen(QColor(60, 60, 60), 1.2));
    p.setBrush(Qt::NoBrush);
    for (const auto& t : tiles)
        p.drawRect(t);

    // A road across the tiles.
    p.setPen(QPen(QColor(240, 240, 240), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(6, 58), QPointF(56, 14));

    // The pin.
    QPainterPath pin;
    pin.moveTo(40, 40);
    pin.cubicTo(30, 28, 30, 20, 34, 14);
    pin.arcTo(QRectF(30, 4, 20, 20), 215, -250);
    pin.cubicTo(50, 20, 50, 28, 40, 40);
    p.setPen(QPen(QColor(120, 20, 20), 1.2));
    p.setBrush(QColor(210, 40, 40));
    p.drawPath(pin);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(40, 14), 3.5, 3.5);
    return pixmap;
}

QIcon KartivoIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64})
        icon.addPixmap(KartivoPicture(size));
    return icon;
}

void CenterOnDesktop(QWidget* window)
{
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
}

} // namespace kartivo::platform::qt
