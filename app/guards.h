// Scope guards that several commands share: the wait cursor and a cleanup that
// runs on every way out of a scope.
#pragma once

#include <QCoreApplication>
#include <QCursor>
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
