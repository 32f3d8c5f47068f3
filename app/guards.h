// Scope guards that several commands share: the wait cursor and a cleanup that
// runs on every way out of a scope.
#pragma once

#include <QCoreApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <utility>

// Wait cursor for the lifetime of the object; the previous cursor comes back
// on every way out.
class TWaitCursor {
  public:
    TWaitCursor() {
        if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
            FActive = true;
        }
    }
    ~TWaitCursor() {
        if (FActive) QGuiApplication::restoreOverrideCursor();
    }
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;

  private:
    bool FActive = false;
};

// Runs a cleanup on scope exit, also while an exception passes.
template <typename F>
class TScopeExit {
  public:
    explicit TScopeExit(F f) : FAction(std::move(f)) {}
    ~TScopeExit() {
        try {
            FAction();
        } catch (...) {
            // A cleanup must not turn one failure into a termination.
        }
    }
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;

  private:
    F FAction;
};

// Lets pending events run every few milliseconds of a long row loop rather
// than for every row: as responsive, without a poll of the event sources per
// row, which can cost more than the row itself. The first call always runs
// them.
class TEventSlice {
  public:
    void Tick() {
        if (!FSince.isValid() || FSince.elapsed() >= kSliceMs) {
            QCoreApplication::processEvents();
            FSince.start();
        }
    }

  private:
    static constexpr int kSliceMs = 10;
    QElapsedTimer FSince;
};
