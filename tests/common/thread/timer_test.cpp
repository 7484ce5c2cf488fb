#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "common/thread/event.h"
#include "common/thread/timer.h"

namespace {

// The clock the timer thread reads; only the tests move it.
std::atomic<DWORD> g_now{0};
DWORD FakeTick()
{
    return g_now.load();
}

constexpr int kSentinelTag = 999;
constexpr int kWaitMs = 10000;  // a deadline, never expected to pass

// Records the tags of fired timers in firing order and signals when the
// sentinel fires.
class Recorder : public TimerListener {
public:
    void OnTimer(Timer* timer, std::intptr_t argument1, std::intptr_t argument2) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tags_.push_back(timer->GetTag());
            if (argument1 != 0 || argument2 != 0) {
                nonZeroArguments_ = true;
            }
            if (reaction_ && timer->GetTag() != kSentinelTag) {
                reaction_(timer);
            }
        }
        if (timer->GetTag() == kSentinelTag) {
            sentinelFired_.Set();
        }
    }

    std::vector<int> Tags()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return tags_;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tags_.clear();
    }
    bool NonZeroArguments() const { return nonZeroArguments_; }
    bool WaitSentinel() { return sentinelFired_.Wait(kWaitMs) == 1; }
    void ReactWith(void (*reaction)(Timer*)) { reaction_ = reaction; }

private:
    std::mutex mutex_;
    std::vector<int> tags_;
    std::atomic<bool> nonZeroArguments_{false};
    Event sentinelFired_{false, false};
    void (*reaction_)(Timer*) = nullptr;
};

class TimerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = SetTickSource(&FakeTick);
        g_now = 1000;
        ASSERT_EQ(1, AddTimerSubsystemReference());
    }
    void TearDown() override
    {
        EXPECT_EQ(0, ReleaseTimerSubsystemReference());
        EXPECT_EQ(nullptr, Timer::GetTimerThread());
        SetTickSource(previous_);
    }

    // Moves the clock, then starts a zero-interval sentinel: its start wakes
    // the timer thread, and since every other timer in these tests is due
    // strictly before the new time, all of them have fired once it fires.
    void AdvanceTo(DWORD now)
    {
        g_now = now;
        ASSERT_TRUE(sentinel_.Start(0));
        ASSERT_TRUE(recorder_.WaitSentinel());
    }

    Recorder recorder_;
    Timer sentinel_{&recorder_, kSentinelTag, 0};
    TickSource previous_ = nullptr;
};

TEST_F(TimerTest, FiresInDueOrder)
{
    Timer t300(&recorder_, 300, 300);
    Timer t100(&recorder_, 100, 100);
    Timer t200(&recorder_, 200, 200);
    ASSERT_TRUE(t300.Start());
    ASSERT_TRUE(t100.Start());
    ASSERT_TRUE(t200.Start());
    EXPECT_TRUE(t100.IsScheduled());

    AdvanceTo(1150);
    EXPECT_EQ((std::vector<int>{100, kSentinelTag}), recorder_.Tags());
    EXPECT_FALSE(t100.IsScheduled());
    EXPECT_TRUE(t200.IsScheduled());

    AdvanceTo(1400);
    EXPECT_EQ((std::vector<int>{100, kSentinelTag, 200, 300, kSentinelTag}), recorder_.Tags());
    EXPECT_FALSE(recorder_.NonZeroArguments());
    EXPECT_TRUE(Timer::IsHeapValid());
}

TEST_F(TimerTest, RestartMovesTheDueTimeAndFiresOnce)
{
    Timer timer(&recorder_, 1, 100);
    ASSERT_TRUE(timer.Start());
    g_now = 1050;
    ASSERT_TRUE(timer.Start());  // now due at 1150

    std::int32_t remaining = -1;
    EXPECT_TRUE(timer.GetRemaining(remaining));
    EXPECT_EQ(100, remaining);

    AdvanceTo(1120);
    EXPECT_EQ((std::vector<int>{kSentinelTag}), recorder_.Tags());
    AdvanceTo(1200);
    AdvanceTo(1500);
    EXPECT_EQ((std::vector<int>{kSentinelTag, 1, kSentinelTag, kSentinelTag}), recorder_.Tags());
}

TEST_F(TimerTest, StoppedTimerNeverFiresAndIdleStopDoesNothing)
{
    Timer idle(&recorder_, 7, 50);
    idle.Stop();  // no timer thread exists yet
    EXPECT_EQ(nullptr, Timer::GetTimerThread());
    EXPECT_FALSE(idle.IsScheduled());

    Timer stopped(&recorder_, 1, 100);
    Timer kept(&recorder_, 2, 200);
    ASSERT_TRUE(stopped.Start());
    ASSERT_TRUE(kept.Start());
    stopped.Stop();
    idle.Stop();
    EXPECT_FALSE(stopped.IsScheduled());
    EXPECT_EQ(1, Timer::GetTimerThread()->Count());
    {
        Timer destroyed(&recorder_, 3, 150);
        ASSERT_TRUE(destroyed.Start());
    }  // leaves the heap with its destructor
    EXPECT_EQ(1, Timer::GetTimerThread()->Count());

    AdvanceTo(1500);
    EXPECT_EQ((std::vector<int>{2, kSentinelTag}), recorder_.Tags());
}

TEST_F(TimerTest, NegativeIntervalRefusedAndZeroFiresOnTheNextPass)
{
    Timer unset(&recorder_, 1, -1);
    EXPECT_FALSE(unset.Start());
    EXPECT_FALSE(unset.Start(-1));
    EXPECT_FALSE(unset.IsScheduled());
    Timer byDefault;
    EXPECT_EQ(-1, byDefault.GetTag());
    EXPECT_FALSE(byDefault.Start());

    Timer later(&recorder_, 2, 1);
    ASSERT_TRUE(later.Start());
    // The clock stands still: only the zero-interval timer is due.
    ASSERT_TRUE(sentinel_.Start(0));
    ASSERT_TRUE(recorder_.WaitSentinel());
    EXPECT_EQ((std::vector<int>{kSentinelTag}), recorder_.Tags());
    EXPECT_TRUE(later.IsScheduled());
}

TEST_F(TimerTest, DueTimesAcrossTheTickWrapKeepTheirOrder)
{
    g_now = 0xFFFFFF00u;
    Timer beforeWrap(&recorder_, 1, 0x80);   // due 0xFFFFFF80
    Timer afterWrapLate(&recorder_, 3, 0x200);  // due 0x00000100
    Timer afterWrap(&recorder_, 2, 0x180);  // due 0x00000080
    ASSERT_TRUE(afterWrapLate.Start());
    ASSERT_TRUE(beforeWrap.Start());
    ASSERT_TRUE(afterWrap.Start());
    EXPECT_TRUE(Timer::IsHeapValid());

    g_now = 0x00000010u;
    std::int32_t remaining = -1;
    EXPECT_TRUE(afterWrap.GetRemaining(remaining));
    EXPECT_EQ(0x70, remaining);

    AdvanceTo(0x00000090u);
    EXPECT_EQ((std::vector<int>{1, 2, kSentinelTag}), recorder_.Tags());
    AdvanceTo(0x00000200u);
    EXPECT_EQ((std::vector<int>{1, 2, kSentinelTag, 3, kSentinelTag}), recorder_.Tags());
    EXPECT_FALSE(afterWrap.GetRemaining(remaining));
    EXPECT_EQ(0, remaining);
}

TEST_F(TimerTest, HeapGrowsTo100Then250Then525)
{
    std::vector<std::unique_ptr<Timer>> timers;
    auto startOne = [&] {
        timers.push_back(std::make_unique<Timer>(&recorder_, static_cast<int>(timers.size()),
                                                 5000 + static_cast<int>(timers.size())));
        return timers.back()->Start();
    };
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(startOne());
    }
    TimerThread* thread = Timer::GetTimerThread();
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(100, thread->Capacity());
    ASSERT_TRUE(startOne());
    EXPECT_EQ(250, thread->Capacity());
    while (timers.size() < 251) {
        ASSERT_TRUE(startOne());
    }
    EXPECT_EQ(525, thread->Capacity());
    EXPECT_EQ(251, thread->Count());
    EXPECT_TRUE(Timer::IsHeapValid());
}

// The listener's own timer (tag 1) re-starts itself, starts tag 2 and stops
// tag 3, all from the timer thread.
Timer* g_second = nullptr;
Timer* g_third = nullptr;
void StartAndStopFromListener(Timer* timer)
{
    if (timer->GetTag() == 1 && timer->GetInterval() == 10) {
        EXPECT_TRUE(timer->Start(50));
        EXPECT_TRUE(g_second->Start());
        g_third->Stop();
    }
}

TEST_F(TimerTest, ListenerStartsAndStopsTimersFromOnTimer)
{
    Timer first(&recorder_, 1, 10);
    Timer second(&recorder_, 2, 10);
    Timer third(&recorder_, 3, 20);
    g_second = &second;
    g_third = &third;
    recorder_.ReactWith(&StartAndStopFromListener);
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(third.Start());

    AdvanceTo(1015);  // first fires: re-started for 1065, second due 1025, third stopped
    EXPECT_EQ((std::vector<int>{1, kSentinelTag}), recorder_.Tags());
    EXPECT_TRUE(first.IsScheduled());
    EXPECT_FALSE(third.IsScheduled());

    AdvanceTo(1100);
    EXPECT_EQ((std::vector<int>{1, kSentinelTag, 2, 1, kSentinelTag}), recorder_.Tags());
    EXPECT_TRUE(Timer::IsHeapValid());
    recorder_.ReactWith(nullptr);
}

TEST_F(TimerTest, HeapStaysValidThroughRandomStartsAndStops)
{
    constexpr int kTimers = 300;
    std::vector<std::unique_ptr<Timer>> timers;
    for (int i = 0; i < kTimers; ++i) {
        timers.push_back(std::make_unique<Timer>(&recorder_, i, -1));
    }
    std::map<int, DWORD> due;  // what the test expects scheduled
    std::mt19937 random(20240611u);
    DWORD now = 0xFFFF0000u;   // the run crosses the wrap
    g_now = now;

    for (int step = 0; step < 6000; ++step) {
        const int index = static_cast<int>(random() % kTimers);
        if (random() % 3 == 0) {
            timers[index]->Stop();
            due.erase(index);
        } else {
            const int interval = 1 + static_cast<int>(random() % 20000);
            ASSERT_TRUE(timers[index]->Start(interval));
            due[index] = now + interval;
        }
        ASSERT_TRUE(Timer::IsHeapValid()) << "step " << step;

        if (step % 500 == 499) {
            recorder_.Clear();
            // No timer may be due exactly at the new time: the sentinel would
            // tie with it and the order of the two would vary.
            now += 5000;
            for (bool tie = true; tie;) {
                tie = false;
                for (const auto& entry : due) {
                    tie = tie || entry.second == now;
                }
                now += tie ? 1 : 0;
            }
            AdvanceTo(now);
            std::vector<int> fired = recorder_.Tags();
            ASSERT_FALSE(fired.empty());
            ASSERT_EQ(kSentinelTag, fired.back());
            fired.pop_back();
            std::vector<int> expected;
            for (const auto& entry : due) {
                if (TickDifference(entry.second, now) < 0) {
                    expected.push_back(entry.first);
                }
            }
            ASSERT_EQ(expected.size(), fired.size()) << "step " << step;
            for (std::size_t i = 0; i < fired.size(); ++i) {
                ASSERT_TRUE(due.count(fired[i]) == 1);
                if (i > 0) {
                    EXPECT_LE(0, TickDifference(due[fired[i]], due[fired[i - 1]]));
                }
            }
            for (int tag : fired) {
                due.erase(tag);
                EXPECT_FALSE(timers[tag]->IsScheduled());
            }
            ASSERT_EQ(static_cast<std::int32_t>(due.size()), Timer::GetTimerThread()->Count());
        }
    }
    EXPECT_TRUE(Timer::IsHeapValid());
}

TEST_F(TimerTest, LastSubsystemReferenceDeletesTheThread)
{
    Timer timer(&recorder_, 1, 100);
    ASSERT_TRUE(timer.Start());
    ASSERT_NE(nullptr, Timer::GetTimerThread());
    EXPECT_EQ(2, AddTimerSubsystemReference());
    EXPECT_EQ(1, ReleaseTimerSubsystemReference());
    EXPECT_NE(nullptr, Timer::GetTimerThread());
    EXPECT_EQ(0, ReleaseTimerSubsystemReference());
    EXPECT_EQ(nullptr, Timer::GetTimerThread());
    EXPECT_FALSE(timer.IsScheduled());  // the thread's destruction left it idle
    EXPECT_EQ(1, AddTimerSubsystemReference());  // for the fixture's release

    // A later start makes a new thread.
    ASSERT_TRUE(timer.Start());
    EXPECT_NE(nullptr, Timer::GetTimerThread());
    EXPECT_TRUE(timer.IsScheduled());
}

TEST(TickDifference, ComparesAcrossTheWrap)
{
    EXPECT_EQ(0x20, TickDifference(0x00000010u, 0xFFFFFFF0u));
    EXPECT_EQ(-0x20, TickDifference(0xFFFFFFF0u, 0x00000010u));
    EXPECT_EQ(0, TickDifference(5u, 5u));
}

}  // namespace
