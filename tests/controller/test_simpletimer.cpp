#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "SimpleTimer.h"
#include "support/pump.h"

using namespace std::chrono_literals;
namespace stats = simple_timer_stats;

namespace {

class SimpleTimerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(stats::HandlerExists()); }
    void TearDown() override {
        // Deferred deletions of a handler detached during dispatch.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_FALSE(stats::HandlerExists());
    }
};

}  // namespace

TEST_F(SimpleTimerTest, ZeroIntervalNeverRuns) {
    int fired = 0;
    TSimpleTimer timer(0, [&](TSimpleTimer&) { ++fired; });
    EXPECT_FALSE(timer.Arm());
    timer.SetActive(true);
    EXPECT_FALSE(timer.Active());
    EXPECT_EQ(stats::RunningCount(), 0);
    PumpFor(60);
    EXPECT_EQ(fired, 0);
}

TEST_F(SimpleTimerTest, PeriodicUntilDeactivatedAndCountsOnce) {
    int fired = 0;
    TSimpleTimer timer(10, [&](TSimpleTimer&) { ++fired; });
    EXPECT_FALSE(timer.Active());
    timer.SetActive(true);
    timer.SetActive(true);  // re-arming does not count a second running timer
    EXPECT_TRUE(timer.Active());
    EXPECT_EQ(stats::RunningCount(), 1);
    ASSERT_TRUE(PumpUntil([&] { return fired >= 3; }));

    timer.SetActive(false);
    EXPECT_FALSE(timer.Active());
    EXPECT_EQ(stats::RunningCount(), 0);
    const int seen = fired;
    PumpFor(60);
    EXPECT_EQ(fired, seen);
    // Killing a system timer that is not set reports false and changes no count.
    EXPECT_FALSE(timer.Disarm(true));
    EXPECT_EQ(stats::RunningCount(), 0);
}

TEST_F(SimpleTimerTest, CallbacksOnlyDuringEventDispatching) {
    int fired = 0;
    TSimpleTimer timer(20, [&](TSimpleTimer&) { ++fired; });
    timer.SetActive(true);
    std::this_thread::sleep_for(120ms);
    EXPECT_EQ(fired, 0);
    EXPECT_TRUE(PumpUntil([&] { return fired > 0; }));
}

// The restart cases: let the interval expire without dispatching, change the
// timer, then dispatch. An expired timer calls back at once; a restarted one
// has a whole (long) interval to go.
TEST_F(SimpleTimerTest, SameIntervalDoesNotRestart) {
    int fired = 0;
    TSimpleTimer timer(300, [&](TSimpleTimer&) { ++fired; });
    timer.SetActive(true);
    std::this_thread::sleep_for(400ms);
    timer.SetIntervalMs(300);
    EXPECT_TRUE(PumpUntil([&] { return fired > 0; }, 150));
}

TEST_F(SimpleTimerTest, NewIntervalRestartsFromZero) {
    int fired = 0;
    TSimpleTimer timer(300, [&](TSimpleTimer&) { ++fired; });
    timer.SetActive(true);
    std::this_thread::sleep_for(400ms);
    timer.SetIntervalMs(800);
    EXPECT_EQ(timer.IntervalMs(), 800u);
    EXPECT_EQ(stats::RunningCount(), 1);
    PumpFor(100);
    EXPECT_EQ(fired, 0);
    EXPECT_TRUE(PumpUntil([&] { return fired > 0; }));
}

TEST_F(SimpleTimerTest, SetActiveTrueRestartsTheInterval) {
    int fired = 0;
    TSimpleTimer timer(500, [&](TSimpleTimer&) { ++fired; });
    timer.SetActive(true);
    std::this_thread::sleep_for(600ms);
    timer.SetActive(true);
    PumpFor(100);
    EXPECT_EQ(fired, 0);
    EXPECT_TRUE(PumpUntil([&] { return fired > 0; }));
}

TEST_F(SimpleTimerTest, ZeroIntervalOrNoCallbackStopsButStaysActive) {
    int fired = 0;
    TSimpleTimer timer(10, [&](TSimpleTimer&) { ++fired; });
    timer.SetActive(true);
    timer.SetIntervalMs(0);
    EXPECT_TRUE(timer.Active());
    EXPECT_EQ(stats::RunningCount(), 0);
    PumpFor(60);
    EXPECT_EQ(fired, 0);

    timer.SetIntervalMs(10);  // runs again
    EXPECT_TRUE(timer.Active());
    EXPECT_EQ(stats::RunningCount(), 1);
    ASSERT_TRUE(PumpUntil([&] { return fired > 0; }));

    timer.SetOnElapsed(nullptr);
    EXPECT_TRUE(timer.Active());
    EXPECT_EQ(stats::RunningCount(), 0);
    timer.SetOnElapsed([&](TSimpleTimer&) { fired += 100; });
    EXPECT_TRUE(timer.Arm());
    EXPECT_TRUE(PumpUntil([&] { return fired >= 100; }));
}

TEST_F(SimpleTimerTest, StopOnFireIsOneShot) {
    int fired = 0;
    bool activeInCallback = true;
    TSimpleTimer timer(10, [&](TSimpleTimer& sender) {
        ++fired;
        activeInCallback = sender.Active();
    });
    timer.SetStopOnFire(true);
    timer.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return fired > 0; }));
    EXPECT_FALSE(activeInCallback);
    EXPECT_FALSE(timer.Active());
    EXPECT_EQ(stats::RunningCount(), 0);
    PumpFor(80);
    EXPECT_EQ(fired, 1);
}

TEST_F(SimpleTimerTest, TimerDestroyedWithPendingEventNeverCallsBack) {
    // Both expire before one dispatch; whichever runs first destroys the other.
    std::unique_ptr<TSimpleTimer> a, b;
    std::vector<char> order;
    a = std::make_unique<TSimpleTimer>(20, [&](TSimpleTimer&) {
        order.push_back('a');
        b.reset();
    });
    b = std::make_unique<TSimpleTimer>(20, [&](TSimpleTimer&) {
        order.push_back('b');
        a.reset();
    });
    a->SetActive(true);
    b->SetActive(true);
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(PumpUntil([&] { return !order.empty(); }));
    PumpFor(60);
    // Only the survivor ever calls back (it is periodic, so possibly again).
    for (char who : order) EXPECT_EQ(who, order.front());
    EXPECT_EQ(stats::UserCount(), 1);
    EXPECT_EQ(stats::RunningCount(), 1);
    a.reset();
    b.reset();
}

TEST_F(SimpleTimerTest, NewTimerReusingAKilledIdIsNotFiredEarly) {
    // a's callback kills b (already expired) and starts c, which may be given
    // b's system id; c must wait its own interval.
    std::unique_ptr<TSimpleTimer> a, b, c;
    int aFired = 0, bFired = 0, cFired = 0;
    a = std::make_unique<TSimpleTimer>(20, [&](TSimpleTimer& self) {
        ++aFired;
        self.SetActive(false);
        b.reset();
        c = std::make_unique<TSimpleTimer>(5000, [&](TSimpleTimer&) { ++cFired; });
        c->SetActive(true);
    });
    b = std::make_unique<TSimpleTimer>(40, [&](TSimpleTimer&) { ++bFired; });
    a->SetActive(true);
    b->SetActive(true);
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(PumpUntil([&] { return aFired > 0; }));
    PumpFor(100);
    EXPECT_EQ(aFired, 1);
    EXPECT_EQ(bFired, 0);
    EXPECT_EQ(cFired, 0);
    EXPECT_EQ(stats::RunningCount(), 1);
    a.reset();
    c.reset();
}

TEST_F(SimpleTimerTest, HandlerLivesWhileTimersExist) {
    {
        TSimpleTimer one(10, nullptr);
        EXPECT_TRUE(stats::HandlerExists());
        EXPECT_EQ(stats::UserCount(), 1);
        {
            TSimpleTimer two(10, nullptr);
            EXPECT_EQ(stats::UserCount(), 2);
        }
        EXPECT_EQ(stats::UserCount(), 1);
        EXPECT_TRUE(stats::HandlerExists());
    }
    EXPECT_FALSE(stats::HandlerExists());
    EXPECT_EQ(stats::UserCount(), 0);

    int fired = 0;
    TSimpleTimer again(10, [&](TSimpleTimer&) { ++fired; });
    EXPECT_TRUE(stats::HandlerExists());
    again.SetActive(true);
    EXPECT_TRUE(PumpUntil([&] { return fired > 0; }));
}

TEST_F(SimpleTimerTest, LastTimerDestroyedInItsOwnCallback) {
    std::unique_ptr<TSimpleTimer> timer;
    int fired = 0;
    timer = std::make_unique<TSimpleTimer>(10, [&](TSimpleTimer&) {
        ++fired;
        timer.reset();
    });
    timer->SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return timer == nullptr; }));
    EXPECT_FALSE(stats::HandlerExists());
    EXPECT_EQ(fired, 1);

    // A timer made afterwards gets a working handler of its own.
    int again = 0;
    TSimpleTimer next(10, [&](TSimpleTimer&) { ++again; });
    next.SetActive(true);
    EXPECT_TRUE(PumpUntil([&] { return again > 0; }));
}
