#pragma once

class QScreen;
class QWidget;

// Looks shared by the windows, set in one place.
namespace WindowLook {

// The white ground of the header panel under each window's logo.
void setWhiteGround(QWidget* panel);

// Moves the window so that its frame is centred on the screen's free area;
// nothing without a screen.
void centreOnScreen(QWidget& window, QScreen* screen);

} // namespace WindowLook
