#include "centre.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QMargins>
#include <QObject>
#include <QScreen>
#include <QWidget>

namespace {

QMargins FrameOf(const QWidget& window) {
    const QRect outer = window.frameGeometry();
    const QRect inner = window.geometry();
    return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
            outer.bottom() - inner.bottom()};
}

// The window's own frame once the window manager has put one round it; before
// that the frame of its owner's window, or of any other framed window of the
// program (a window manager decorates the windows of one program alike).
QMargins KnownOrLikelyFrame(const QWidget& window) {
    const QMargins own = FrameOf(window);
    if (!own.isNull() || !window.isWindow()) return own;
    if (const QWidget* owner = window.parentWidget()) {
        const QMargins frame = FrameOf(*owner->window());
        if (!frame.isNull()) return frame;
    }
    for (const QWidget* other : QApplication::topLevelWidgets()) {
        if (other == &window || !other->isVisible()) continue;
        const QMargins frame = FrameOf(*other);
        if (!frame.isNull()) return frame;
    }
    return {};
}

class TCentreOnShow : public QObject {
  public:
    explicit TCentreOnShow(QWidget& window) : QObject(&window), FWindow(window) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != &FWindow) return false;
        if (event->type() == QEvent::Show) {
            CentreOnScreen(FWindow);
            FPlacedWith = KnownOrLikelyFrame(FWindow);
            FAwaitingFrame = FrameOf(FWindow).isNull();
        } else if (event->type() == QEvent::Move && FAwaitingFrame) {
            // The window manager's own move when it frames the window: the
            // first one that brings a frame settles the estimate.
            const QMargins frame = FrameOf(FWindow);
            if (!frame.isNull()) {
                FAwaitingFrame = false;
                if (frame != FPlacedWith) CentreOnScreen(FWindow);
            }
        } else if (event->type() == QEvent::Hide) {
            FAwaitingFrame = false;
        }
        return false;
    }

  private:
    QWidget& FWindow;
    QMargins FPlacedWith;
    bool FAwaitingFrame = false;
};

}  // namespace

void CentreOnScreen(QWidget& window) {
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QMargins frame = KnownOrLikelyFrame(window);
    QRect outer = window.geometry().marginsAdded(frame);
    outer.moveCenter(screen->availableGeometry().center());
    // A window's position is that of its frame, but a created window whose
    // frame Qt does not know yet is placed by its inside.
    const bool placedByInside =
        window.testAttribute(Qt::WA_WState_Created) && FrameOf(window).isNull();
    window.move(placedByInside ? outer.topLeft() + QPoint(frame.left(), frame.top())
                               : outer.topLeft());
}

void CentreWhenShown(QWidget& window) {
    CentreOnScreen(window);
    window.installEventFilter(new TCentreOnShow(window));
}
