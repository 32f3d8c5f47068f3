#include "centre.h"

#include <QEvent>
#include <QGuiApplication>
#include <QObject>
#include <QScreen>
#include <QWidget>

namespace {

class TCentreOnShow : public QObject {
  public:
    explicit TCentreOnShow(QWidget& window) : QObject(&window), FWindow(window) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &FWindow && event->type() == QEvent::Show) CentreOnScreen(FWindow);
        return false;
    }

  private:
    QWidget& FWindow;
};

}  // namespace

void CentreOnScreen(QWidget& window) {
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
}

void CentreWhenShown(QWidget& window) {
    CentreOnScreen(window);
    window.installEventFilter(new TCentreOnShow(window));
}
