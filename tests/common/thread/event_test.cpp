#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "common/thread/event.h"

namespace {

std::string UniqueName(const char* tag)
{
    return "RouterClientTests_" + std::string(tag) + "_" + std::to_string(::GetCurrentProcessId());
}

TEST(Event, ResetModesAndInitialStates)
{
    struct Case {
        bool manualReset;
        bool initialState;
        bool signalledAfterWait;
    };
    const Case cases[] = {{true, true, true}, {false, true, false}};
    for (const Case& c : cases) {
        Event event(c.manualReset, c.initialState);
        ASSERT_NE(nullptr, event.Handle());
        EXPECT_EQ(1, event.Wait(0));
        EXPECT_EQ(c.signalledAfterWait, event.IsSignalled()) << "manual " << c.manualReset;
        EXPECT_TRUE(event.Reset());
        EXPECT_FALSE(event.IsSignalled());
        EXPECT_EQ(0, event.Wait(10));
        EXPECT_TRUE(event.Set());
        EXPECT_EQ(1, event.Wait(-1));
    }
}

TEST(Event, WithoutHandleEveryOperationFails)
{
    Event event;
    EXPECT_EQ(nullptr, event.Handle());
    EXPECT_FALSE(event.Set());
    EXPECT_FALSE(event.Reset());
    EXPECT_FALSE(event.IsSignalled());
    EXPECT_EQ(-1, event.Wait(0));

    ASSERT_TRUE(event.Create(true, false));
    event.Close();
    EXPECT_EQ(nullptr, event.Handle());
    EXPECT_EQ(-1, event.Wait(0));
}

TEST(Event, NamedEventIsSharedThroughOpen)
{
    const std::string name = UniqueName("named");
    Event created;
    ASSERT_TRUE(created.Create(name.c_str(), true, false, nullptr));
    Event opened;
    ASSERT_TRUE(opened.Open(name.c_str()));
    EXPECT_NE(created.Handle(), opened.Handle());
    EXPECT_TRUE(opened.Set());
    EXPECT_TRUE(created.IsSignalled());

    Event constructed(name.c_str(), true, false);
    EXPECT_TRUE(constructed.IsSignalled());  // the existing event, not a new one
}

TEST(Event, NullOrMissingNamesFailAndKeepNothing)
{
    Event event(true, true);
    const HANDLE held = event.Handle();
    EXPECT_FALSE(event.Create(nullptr, true, false, nullptr));
    EXPECT_FALSE(event.Open(nullptr));
    EXPECT_EQ(held, event.Handle());  // refused at once: the held event stays
    EXPECT_FALSE(event.Open(UniqueName("missing").c_str()));
    EXPECT_EQ(nullptr, event.Handle());
}

TEST(Event, WaitForAnyAnswersTheSignalledPosition)
{
    Event first(true, false);
    Event second(true, false);
    Event third(false, false);
    Event* events[] = {&first, &second, &third};
    EXPECT_EQ(0, Event::WaitForAny(3, events, 10, false));
    second.Set();
    EXPECT_EQ(2, Event::WaitForAny(3, events, 0, false));
    second.Reset();

    std::thread setter([&] { third.Set(); });
    EXPECT_EQ(3, Event::WaitForAny(3, events, -1, false));
    setter.join();
    EXPECT_FALSE(third.IsSignalled());  // the auto-reset event was consumed
}

TEST(Event, WaitForAnyReportsCompletionRoutines)
{
    Event event(true, false);
    Event* events[] = {&event};
    ASSERT_NE(0u, ::QueueUserAPC([](ULONG_PTR) {}, ::GetCurrentThread(), 0));
    EXPECT_EQ(-2, Event::WaitForAny(1, events, -1, true));
}

TEST(Event, WaitForAnyRefusesBadLists)
{
    Event event(true, true);
    Event empty;
    Event* many[Event::kMaxWaitCount + 1];
    for (Event*& entry : many) {
        entry = &event;
    }
    Event* withNull[] = {&event, nullptr};
    Event* withEmpty[] = {&empty};
    EXPECT_EQ(1, Event::WaitForAny(Event::kMaxWaitCount, many, 0, false));
    EXPECT_EQ(-1, Event::WaitForAny(Event::kMaxWaitCount + 1, many, 0, false));
    EXPECT_EQ(-1, Event::WaitForAny(0, many, 0, false));
    EXPECT_EQ(-1, Event::WaitForAny(1, nullptr, 0, false));
    EXPECT_EQ(-1, Event::WaitForAny(2, withNull, 0, false));
    EXPECT_EQ(-1, Event::WaitForAny(1, withEmpty, 0, false));
}

}  // namespace
