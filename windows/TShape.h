#pragma once

#include <QColor>
#include <QWidget>

// A filled circle, as the connection and activity lights are drawn.
class TShape : public QWidget
{
    Q_OBJECT
public:
    explicit TShape(QWidget* parent = nullptr);

    QColor brushColor() const { return m_brush; }
    bool isFilled() const { return m_filled; }
    void setBrushColor(const QColor& color); // also makes the circle filled
    void setClear(); // no fill, no outline

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_brush = Qt::white;
    bool m_filled = true;
    bool m_outlined = true;
};
