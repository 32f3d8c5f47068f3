// Lets the test's event loop run: until a condition holds, or for a while.
// Every wait is bounded so that a fault fails the test instead of hanging it.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <functional>
#include <thread>

// True when `done` held before `limitMs` passed.
inline bool PumpUntil(const std::function<bool()>& done, int limitMs = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return PumpUntil(done, static_cast<int>(limit.count()));
}

inline void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}

inline void PumpFor(std::chrono::milliseconds span) {
    PumpFor(static_cast<int>(span.count()));
}
