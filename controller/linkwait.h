// What the controller commands share for waiting on the line: an event wait
// with a deadline, a pause that keeps the window running, the reader for the
// selected port, and the report of a port that cannot be used.
#pragma once

#include <QTimer>
#include <chrono>
#include <memory>

class IMainWindow;
class TRfidReader;

namespace linkwait {

using Clock = std::chrono::steady_clock;

// Blocks in the event loop until at least one event has been handled (a
// received byte, a timer, a click) or the deadline has come. The wake-up timer
// keeps the deadline honest even when nothing else happens; nothing spins.
class TEventWaiter {
  public:
    TEventWaiter();
    void WaitUntil(Clock::time_point deadline);

  private:
    QTimer FWake;
    Clock::time_point FArmedFor{};
};

// Lets pending events run until the time has passed, without spinning.
void RunEventsFor(std::chrono::milliseconds span);

// A reader set up for the port selected in the main window.
std::unique_ptr<TRfidReader> MakeReader(IMainWindow& host);

// Called from a catch block: "Communication port cannot be used.", with why
// the port failed ("/dev/ttyUSB0: Permission denied") under it when the
// system said so, and what to do about it.
void ReportPortUnusable(IMainWindow& host);

}  // namespace linkwait
