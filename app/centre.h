// Centring of top-level windows on their screen.
#pragma once

class QWidget;

// Centres the window's outer frame on its screen's available area now and again
// every time the window is shown. A window manager frames a window only after
// it is shown; until then the frame of another framed window of the program
// stands in for it, and the window is centred again, once, when its own frame
// turns out to differ.
void CentreWhenShown(QWidget& window);

// Centres the window's outer frame now (as far as its frame is known or can be
// estimated).
void CentreOnScreen(QWidget& window);
