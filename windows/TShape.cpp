#include "TShape.h"

#include <QPainter>

TShape::TShape(QWidget* parent)
    : QWidget(parent)
{
}

void TShape::setBrushColor(const QColor& color)
{
    m_brush = color;
    m_filled = true;
    update();
}

void TShape::setClear()
{
    m_filled = false;
    m_outlined = false;
    update();
}

void TShape::paintEvent(QPaintEvent*)
{
    if (!m_filled && !m_outlined)
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(m_outlined ? QPen(Qt::black, 1) : QPen(Qt::NoPen));
    p.setBrush(m_filled ? QBrush(m_brush) : QBrush(Qt::NoBrush));
    const int side = qMin(width(), height()) - 1;
    p.drawEllipse(QRectF(0.5, 0.5, side, side));
}
