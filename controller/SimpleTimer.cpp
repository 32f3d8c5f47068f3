#include "SimpleTimer.h"

#include <QObject>
#include <QPointer>
#include <QTimerEvent>

#include <climits>
#include <memory>
#include <unordered_map>

// The one hidden receiver of the timer events of every TSimpleTimer. It lives on
// the thread that created the first timer (the user-interface thread) and exists
// only while at least one timer object exists.
class TSimpleTimerHandler : public QObject {
  public:
    // Registration of timer objects (user count).
    static void Register();
    static void Unregister();

    // System timers. Start returns the system id, 0 when refused.
    int StartSystemTimer(TSimpleTimer& timer, std::uint32_t intervalMs);
    bool KillSystemTimer(int systemId);

    static TSimpleTimerHandler* Instance() { return Holder().get(); }

    int FUserCount = 0;
    int FRunningCount = 0;

  protected:
    void timerEvent(QTimerEvent* event) override;

  private:
    static std::unique_ptr<TSimpleTimerHandler>& Holder();

    // Running system timers by id. A timer leaves the map as soon as its system
    // timer is killed, so an id that is not here belongs to no running timer and
    // its event is dropped.
    std::unordered_map<int, TSimpleTimer*> FRunning;
    int FDispatchDepth = 0;
};

std::unique_ptr<TSimpleTimerHandler>& TSimpleTimerHandler::Holder() {
    // Destroyed at program end if timers are still alive then.
    static std::unique_ptr<TSimpleTimerHandler> handler;
    return handler;
}

void TSimpleTimerHandler::Register() {
    auto& handler = Holder();
    if (!handler) handler = std::make_unique<TSimpleTimerHandler>();
    ++handler->FUserCount;
}

void TSimpleTimerHandler::Unregister() {
    auto& handler = Holder();
    if (!handler) return;
    if (handler->FUserCount > 0) --handler->FUserCount;
    if (handler->FUserCount > 0) return;
    if (handler->FDispatchDepth > 0) {
        // The last timer went away inside one of our own timer events: Qt is
        // still inside this object's event handler, so it must not be deleted
        // here. Detach it (a new timer makes a new handler) and let the event
        // loop delete it once the event has returned.
        handler.release()->deleteLater();
    } else {
        handler.reset();
    }
}

int TSimpleTimerHandler::StartSystemTimer(TSimpleTimer& timer, std::uint32_t intervalMs) {
    // Qt takes an int; longer intervals are clamped, as the platform clamps them.
    const int ms =
        intervalMs > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(intervalMs);
    const int id = startTimer(ms, Qt::PreciseTimer);
    if (id == 0) return 0;
    FRunning[id] = &timer;
    ++FRunningCount;
    return id;
}

bool TSimpleTimerHandler::KillSystemTimer(int systemId) {
    auto it = FRunning.find(systemId);
    if (systemId == 0 || it == FRunning.end()) return false;
    // killTimer also drops the timer from the dispatcher's list, so no event for
    // it is delivered afterwards even if it had already expired; the map check in
    // timerEvent guards against a reused id regardless.
    killTimer(systemId);
    FRunning.erase(it);
    if (FRunningCount > 0) --FRunningCount;
    return true;
}

void TSimpleTimerHandler::timerEvent(QTimerEvent* event) {
    auto it = FRunning.find(event->timerId());
    if (it == FRunning.end()) return;  // belongs to no running timer
    TSimpleTimer* timer = it->second;
    ++FDispatchDepth;
    // The callback may destroy this handler's last timer; only the local guard
    // below may touch the handler afterwards, and only while it still exists.
    QPointer<TSimpleTimerHandler> self(this);
    timer->Fire();
    if (self) --FDispatchDepth;
}

// ---------------------------------------------------------------------------

TSimpleTimer::TSimpleTimer(std::uint32_t intervalMs, TNotifyEvent onElapsed)
    : FIntervalMs(intervalMs), FOnElapsed(std::move(onElapsed)) {
    TSimpleTimerHandler::Register();
}

TSimpleTimer::~TSimpleTimer() {
    if (FActive) Disarm(true);
    // A timer whose system timer still runs while Active is clear cannot happen,
    // but never leave a dangling entry behind.
    if (FSystemId != 0) Disarm(false);
    TSimpleTimerHandler::Unregister();
}

bool TSimpleTimer::Active() const {
    return FActive;
}
std::uint32_t TSimpleTimer::IntervalMs() const {
    return FIntervalMs;
}
bool TSimpleTimer::StopOnFire() const {
    return FStopOnFire;
}
void TSimpleTimer::SetStopOnFire(bool on) {
    FStopOnFire = on;
}

void TSimpleTimer::SetActive(bool on) {
    if (on)
        Arm();
    else
        Disarm(true);
}

void TSimpleTimer::SetIntervalMs(std::uint32_t ms) {
    if (ms == FIntervalMs) return;
    FIntervalMs = ms;
    if (!FActive) return;
    if (ms != 0)
        Arm();
    else
        Disarm(false);
}

void TSimpleTimer::SetOnElapsed(TNotifyEvent callback) {
    FOnElapsed = std::move(callback);
    if (!FOnElapsed && FActive) Disarm(false);
}

bool TSimpleTimer::Arm() {
    if (FIntervalMs == 0) return false;
    if (FActive) Disarm(true);
    TSimpleTimerHandler* handler = TSimpleTimerHandler::Instance();
    if (!handler) return false;
    const int id = handler->StartSystemTimer(*this, FIntervalMs);
    if (id == 0) return false;
    FSystemId = id;
    FActive = true;
    return true;
}

bool TSimpleTimer::Disarm(bool clear) {
    if (clear) FActive = false;
    const int id = FSystemId;
    FSystemId = 0;
    TSimpleTimerHandler* handler = TSimpleTimerHandler::Instance();
    return handler && handler->KillSystemTimer(id);
}

void TSimpleTimer::Fire() {
    if (FStopOnFire) Disarm(true);
    if (!FOnElapsed) return;
    // Call a copy: the callback may destroy this timer (and with it FOnElapsed)
    // or replace its own callback.
    TNotifyEvent callback = FOnElapsed;
    callback(*this);
}

namespace simple_timer_stats {
bool HandlerExists() {
    return TSimpleTimerHandler::Instance() != nullptr;
}
int UserCount() {
    auto* handler = TSimpleTimerHandler::Instance();
    return handler ? handler->FUserCount : 0;
}
int RunningCount() {
    auto* handler = TSimpleTimerHandler::Instance();
    return handler ? handler->FRunningCount : 0;
}
}  // namespace simple_timer_stats
