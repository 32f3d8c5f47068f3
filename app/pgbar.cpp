#include "pgbar.h"

#include "centre.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

namespace {

// Whole-number percentage, rounded towards zero; 0 for an empty range.
int Percent(int progress, int maximum) {
    if (maximum <= 0) return 0;
    return static_cast<int>(static_cast<qint64>(progress) * 100 / maximum);
}

// The gauge: a bar in the palette's text colour on its base colour (black on
// white on a light palette) growing from the left, with the percentage
// centred; the part of the text over the bar is drawn in the base colour so it
// stays readable.
class TGauge : public QWidget {
  public:
    explicit TGauge(QWidget* parent) : QWidget(parent) {}

    int maximum = 0;
    int progress = 0;

    int BarWidth(int at) const {
        return maximum <= 0 ? 0 : static_cast<int>(static_cast<qint64>(width()) * at / maximum);
    }
    // Long loops advance once per row: repaint only when the picture changes.
    void SetProgress(int at) {
        const bool changed = BarWidth(at) != BarWidth(progress) ||
                             Percent(at, maximum) != Percent(progress, maximum);
        progress = at;
        if (changed) update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QRect all = rect();
        const int barWidth = BarWidth(progress);
        const QRect bar(all.left(), all.top(), barWidth, all.height());
        const QString text = QString::number(Percent(progress, maximum)) + u'%';

        const QColor ground = palette().color(QPalette::Base);
        const QColor ink = palette().color(QPalette::Text);
        painter.fillRect(all, ground);
        painter.fillRect(bar, ink);
        painter.setPen(ink);
        painter.drawText(all, Qt::AlignCenter, text);
        painter.setClipRect(bar);
        painter.setPen(ground);
        painter.drawText(all, Qt::AlignCenter, text);
    }
};

// The tool window: its own close button only hides it, unless the command can
// stop (a Cancel button), when it asks for the stop as Cancel and Esc do. The
// command that showed it still ends it with Finish.
class TProgressWindow : public QWidget {
  public:
    explicit TProgressWindow(QWidget* owner) : QWidget(owner, Qt::Tool) {
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        bar = new TGauge(this);
        layout->addWidget(bar);
        setFixedSize(418, 22);
    }

    TGauge* bar = nullptr;
    QPushButton* cancel = nullptr;
    bool cancelled = false;

    // The gauge keeps its place and size; the button goes in a strip below it.
    void AddCancel() {
        if (cancel) return;
        constexpr int strip = 31;
        layout()->setContentsMargins(0, 0, 0, strip);
        setFixedSize(width(), height() + strip);
        cancel = new QPushButton(QStringLiteral("Cancel"), this);
        cancel->setGeometry(width() - 75 - 6, height() - strip + 3, 75, 25);
        QObject::connect(cancel, &QPushButton::clicked, this, [this] { RequestStop(); });
    }

    void RequestStop() {
        cancelled = true;
        // The command ends the window once the step in flight is done.
        cancel->setEnabled(false);
    }

  protected:
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        if (cancel)
            RequestStop();
        else
            hide();
    }
    void keyPressEvent(QKeyEvent* event) override {
        if (cancel && event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
            RequestStop();
            return;
        }
        QWidget::keyPressEvent(event);
    }
};

}  // namespace

struct Tpbar::Impl {
    // The window is ours; the owner is its Qt parent only so that it stays above
    // the owner. Should the owner go first, the parent link is cut so the owner
    // does not delete what this object owns.
    std::unique_ptr<TProgressWindow> window;
    bool cursorPushed = false;
};

Tpbar::Tpbar(QWidget* owner, const QString& caption, int maximum, TCancel cancel)
    : FImpl(std::make_unique<Impl>()) {
    FImpl->window = std::make_unique<TProgressWindow>(owner);
    TProgressWindow* window = FImpl->window.get();
    if (owner) {
        QObject::connect(owner, &QObject::destroyed, window,
                         [window] { window->setParent(nullptr); });
    }
    window->setWindowTitle(caption);
    SetMaximum(maximum);
    if (cancel == TCancel::With) window->AddCancel();

    // Each progress window pushes one wait cursor on Qt's override-cursor stack
    // and Finish pops one. Every entry pushed here is the same wait cursor, so
    // progress windows may end in any order: the wait cursor stays while any of
    // them lives, and the last one to end leaves the cursor that was in force
    // before the first (the caller's own override cursor included).
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    FImpl->cursorPushed = true;

    CentreWhenShown(*window);
    window->show();
    if (window->cancel) {
        // Esc reaches the window only when it has the focus.
        window->activateWindow();
        window->cancel->setFocus(Qt::OtherFocusReason);
    }
}

Tpbar::~Tpbar() {
    Finish();
}

void Tpbar::SetMaximum(int maximum) {
    if (!FImpl->window) return;
    TGauge* bar = FImpl->window->bar;
    bar->maximum = maximum < 0 ? 0 : maximum;
    bar->progress = 0;
    bar->update();
}

void Tpbar::Advance() {
    if (!FImpl->window) return;
    TGauge* bar = FImpl->window->bar;
    if (bar->progress >= bar->maximum) return;
    bar->SetProgress(bar->progress + 1);
}

void Tpbar::Finish() {
    if (FImpl->cursorPushed) {
        QGuiApplication::restoreOverrideCursor();
        FImpl->cursorPushed = false;
    }
    if (FImpl->window) {
        FImpl->window.reset();
    }
}

bool Tpbar::Cancelled() const {
    return FImpl->window && FImpl->window->cancelled;
}

int Tpbar::Maximum() const {
    return FImpl->window ? FImpl->window->bar->maximum : 0;
}

int Tpbar::Progress() const {
    return FImpl->window ? FImpl->window->bar->progress : 0;
}

QString Tpbar::PercentText() const {
    return QString::number(Percent(Progress(), Maximum())) + u'%';
}

QWidget* Tpbar::Window() const {
    return FImpl->window.get();
}
