// Centring of top-level windows on their screen.
#pragma once

class QWidget;

// Centres the window's outer frame on its screen's available area now and again
// every time the window is shown: only then is the frame (the title bar) part of
// its size.
void CentreWhenShown(QWidget& window);

// Centres the window's outer frame now.
void CentreOnScreen(QWidget& window);
