#include "Branding.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace Branding {

QString companyName()
{
    return QStringLiteral("Marlek Messaging Ltd.");
}
QString cityCountry()
{
    return QStringLiteral("Ravenna, Italy");
}
QString webAddress()
{
    return QStringLiteral("www.marlek.example");
}
QString email()
{
    return QStringLiteral("info@marlek.example");
}
QString operatorUrl()
{
    return QStringLiteral("https://www.marlek.example/");
}

QPixmap logo()
{
    // Drawn rather than shipped so it stays sharp and needs no resource file.
    QPixmap pixmap(98, 60);
    pixmap.fill(Qt::white);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bubble(0, 0, 0, 44);
    bubble.setColorAt(0, QColor(0x2f, 0x80, 0xed));
    bubble.setColorAt(1, QColor(0x1a, 0x4f, 0xa8));
    QPainterPath path;
    path.addRoundedRect(QRectF(6, 4, 86, 38), 10, 10);
    QPolygonF tail;
    tail << QPointF(20, 40) << QPointF(16, 54) << QPointF(34, 41);
    path.addPolygon(tail);
    path.setFillRule(Qt::WindingFill);
    p.fillPath(path.simplified(), bubble);
    p.setPen(Qt::white);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(17);
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRectF(6, 4, 86, 38), Qt::AlignCenter, QStringLiteral("MARLEK"));
    p.setPen(QColor(0x1a, 0x4f, 0xa8));
    font.setPixelSize(9);
    font.setBold(false);
    p.setFont(font);
    p.drawText(QRectF(36, 44, 60, 14), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("SMS Sender"));
    return pixmap;
}

QPixmap icon(int side)
{
    // The same bubble as the logo, drawn to fill a square: desktop menus and
    // title bars show icons small, where the logo's words would be lost.
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(side / 64.0, side / 64.0);
    QLinearGradient bubble(0, 4, 0, 50);
    bubble.setColorAt(0, QColor(0x2f, 0x80, 0xed));
    bubble.setColorAt(1, QColor(0x1a, 0x4f, 0xa8));
    QPainterPath path;
    path.addRoundedRect(QRectF(2, 6, 60, 42), 10, 10);
    QPolygonF tail;
    tail << QPointF(12, 44) << QPointF(8, 60) << QPointF(28, 46);
    path.addPolygon(tail);
    path.setFillRule(Qt::WindingFill);
    p.fillPath(path.simplified(), bubble);
    p.setPen(Qt::white);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(30);
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRectF(2, 6, 60, 42), Qt::AlignCenter, QStringLiteral("M"));
    return pixmap;
}

} // namespace Branding
