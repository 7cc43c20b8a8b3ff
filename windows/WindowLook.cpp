#include "WindowLook.h"

#include <QPalette>
#include <QScreen>
#include <QWidget>

namespace WindowLook {

void setWhiteGround(QWidget* panel)
{
    QPalette white = panel->palette();
    white.setColor(QPalette::Window, Qt::white);
    panel->setPalette(white);
}

void centreOnScreen(QWidget& window, QScreen* screen)
{
    if (!screen)
        return;
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
}

} // namespace WindowLook
