// Lightweight interval timer. Callbacks run on the user-interface thread from its
// event dispatching (the normal loop or an explicit processEvents). All timers
// share one hidden handler object that exists while at least one timer exists.
#pragma once

#include <cstdint>
#include <functional>

class TSimpleTimer {
  public:
    using TNotifyEvent = std::function<void(TSimpleTimer& sender)>;

    TSimpleTimer(std::uint32_t intervalMs, TNotifyEvent onElapsed);
    ~TSimpleTimer();
    TSimpleTimer(const TSimpleTimer&) = delete;
    TSimpleTimer& operator=(const TSimpleTimer&) = delete;

    bool Active() const;
    std::uint32_t IntervalMs() const;
    bool StopOnFire() const;
    void SetStopOnFire(bool on);

    void SetActive(bool on);               // on: Arm; off: Disarm(true)
    void SetIntervalMs(std::uint32_t ms);  // same value: nothing; running: restarts
    void SetOnElapsed(TNotifyEvent callback);

    bool Arm();
    bool Disarm(bool clear);

  private:
    friend class TSimpleTimerHandler;
    void Fire();

    bool FActive = false;
    std::uint32_t FIntervalMs;
    bool FStopOnFire = false;
    TNotifyEvent FOnElapsed;
    int FSystemId = 0;  // id of the running system timer, 0 when none
};

// Introspection of the shared handler, for tests.
class TSimpleTimerHandler;
namespace simple_timer_stats {
bool HandlerExists();
int UserCount();
int RunningCount();
}  // namespace simple_timer_stats
