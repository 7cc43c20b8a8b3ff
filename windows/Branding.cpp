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

namespace {
// The blue speech bubble with a word in it that both pictures are built on.
void drawBubble(QPainter& p, qreal gradientTop, qreal gradientBottom, const QRectF& body, const QPolygonF& tail,
    const QString& word, int pixelSize)
{
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bubble(0, gradientTop, 0, gradientBottom);
    bubble.setColorAt(0, QColor(0x2f, 0x80, 0xed));
    bubble.setColorAt(1, QColor(0x1a, 0x4f, 0xa8));
    QPainterPath path;
    path.addRoundedRect(body, 10, 10);
    path.addPolygon(tail);
    path.setFillRule(Qt::WindingFill);
    p.fillPath(path.simplified(), bubble);
    p.setPen(Qt::white);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixelSize);
    font.setBold(true);
    p.setFont(font);
    p.drawText(body, Qt::AlignCenter, word);
}
} // namespace

QPixmap logo()
{
    // Drawn rather than shipped so it stays sharp and needs no resource file.
    QPixmap pixmap(98, 60);
    pixmap.fill(Qt::white);
    QPainter p(&pixmap);
    drawBubble(p, 0, 44, QRectF(6, 4, 86, 38), QPolygonF({ QPointF(20, 40), QPointF(16, 54), QPointF(34, 41) }),
        QStringLiteral("MARLEK"), 17);
    p.setPen(QColor(0x1a, 0x4f, 0xa8));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(9);
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
    p.scale(side / 64.0, side / 64.0);
    drawBubble(p, 4, 50, QRectF(2, 6, 60, 42), QPolygonF({ QPointF(12, 44), QPointF(8, 60), QPointF(28, 46) }),
        QStringLiteral("M"), 30);
    return pixmap;
}

QIcon windowIcon()
{
    QIcon icon;
    for (const int side : { 16, 24, 32, 48, 64 })
        icon.addPixmap(Branding::icon(side));
    return icon;
}

} // namespace Branding
