#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/thread/thread.h"
#include "process_census.h"
#include "scoped_registry_key.h"
#include "thread_test_support.h"
#include "wait_until.h"

namespace {

std::wstring Formatted(const wchar_t* format, DWORD id, HANDLE handle, long long timeout)
{
    wchar_t text[512] = {};
    _snwprintf(text, 511, format, id,
               static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(handle)), timeout);
    return text;
}

TEST(Thread, StartsWithRequestedPriorityAlreadyApplied)
{
    HookRecorder hooks;
    TestThread thread("worker");
    thread.SetPriority(7);
    EXPECT_EQ(7, thread.GetPriority());
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.WaitEntered());
    EXPECT_EQ(THREAD_PRIORITY_TIME_CRITICAL, thread.PriorityAtEntry());
    EXPECT_EQ(100, thread.GetPriority());
    thread.Stop();
    EXPECT_EQ(7, thread.GetPriority());
}

TEST(Thread, PriorityStepsMapToWindowsPriorities)
{
    struct Case {
        int step;
        int windows;
        int readBack;
    };
    const Case cases[] = {
        {-9, THREAD_PRIORITY_IDLE, -100},        {-3, THREAD_PRIORITY_IDLE, -100},
        {-2, THREAD_PRIORITY_LOWEST, -2},        {-1, THREAD_PRIORITY_BELOW_NORMAL, -1},
        {0, THREAD_PRIORITY_NORMAL, 0},          {1, THREAD_PRIORITY_ABOVE_NORMAL, 1},
        {2, THREAD_PRIORITY_HIGHEST, 2},         {3, THREAD_PRIORITY_TIME_CRITICAL, 100},
        {5, THREAD_PRIORITY_TIME_CRITICAL, 100},
    };
    TestThread thread;
    ASSERT_TRUE(thread.Start());
    for (const Case& c : cases) {
        thread.SetPriority(c.step);
        EXPECT_EQ(c.windows, ::GetThreadPriority(thread.ThreadHandle())) << "step " << c.step;
        EXPECT_EQ(c.readBack, thread.GetPriority()) << "step " << c.step;
    }
}

TEST(Thread, StartOnStartedThreadLeavesItAlone)
{
    TestThread thread;
    ASSERT_TRUE(thread.Start());
    const HANDLE handle = thread.ThreadHandle();
    const DWORD id = thread.ThreadId();
    EXPECT_NE(0u, id);
    EXPECT_FALSE(thread.Start());
    EXPECT_EQ(handle, thread.ThreadHandle());
    EXPECT_EQ(id, thread.ThreadId());
    EXPECT_TRUE(thread.IsRunning());
}

TEST(Thread, StopEndsTheThreadAndAllowsARestart)
{
    HookRecorder hooks;
    TestThread thread("worker");
    EXPECT_FALSE(thread.IsRunning());
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.WaitEntered());
    EXPECT_TRUE(thread.IsRunning());
    thread.Stop();
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(nullptr, thread.ThreadHandle());
    EXPECT_EQ(std::vector<std::string>{"worker"}, HookRecorder::Registered());
    EXPECT_EQ(1, HookRecorder::Unregistered());

    // The stop event is reset by the new start, so the thread keeps running.
    ASSERT_TRUE(thread.Start());
    EXPECT_FALSE(WaitUntil([&] { return !thread.IsRunning(); }, 100));
    thread.Stop(5000);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(2, HookRecorder::Unregistered());
    EXPECT_TRUE(HookRecorder::Logs().empty());
}

TEST(Thread, SignalStopEndsTheThreadWithoutWaiting)
{
    TestThread thread;
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.WaitEntered());
    EXPECT_TRUE(thread.SignalStop());
    EXPECT_NE(nullptr, thread.ThreadHandle());
    EXPECT_TRUE(WaitUntil([&] { return !thread.IsRunning(); }));
}

TEST(Thread, StopAndTryStopOnIdleObjectDoNothing)
{
    HookRecorder hooks;
    TestThread thread;
    thread.Stop();
    thread.Stop(0);
    bool stopped = false;
    thread.TryStop(0, stopped);
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(HookRecorder::Logs().empty());
}

TEST(Thread, StopWithTimeoutGivesUpAHungThread)
{
    HookRecorder hooks;
    TestThread thread;
    thread.HangUntilReleased();
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.WaitEntered());
    const HANDLE handle = thread.ThreadHandle();
    const DWORD id = thread.ThreadId();
    thread.Stop(0);
    EXPECT_EQ(nullptr, thread.ThreadHandle());
    EXPECT_FALSE(thread.IsRunning());
    const auto logs = HookRecorder::Logs();
    ASSERT_EQ(1u, logs.size());
    EXPECT_EQ(1, logs[0].level);
    EXPECT_EQ(Formatted(L"Thread::Stop() - hung thread Id=0x%X, Handle=0x%I64x, timeout=%I64d ms",
                        id, handle, 0),
              logs[0].message);
    // The 64-bit conversions are not garbled: the time-out reads as a plain number.
    EXPECT_NE(std::wstring::npos, logs[0].message.find(L", timeout=0 ms")) << logs[0].message;
    // Destruction waits for the given-up thread, which still runs on the object.
    thread.Release();
}

TEST(Thread, DestructionWaitsForAGivenUpThread)
{
    auto thread = std::make_unique<TestThread>();
    thread->HangUntilReleased();
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(thread->WaitEntered());
    HANDLE watched = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), thread->ThreadHandle(),
                                  ::GetCurrentProcess(), &watched, SYNCHRONIZE, FALSE, 0));
    const unique_handle watchedOwner(watched);
    thread->Stop(0);
    ASSERT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(watched, 0));
    thread.reset();  // releases the body, then must outlast it
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(watched, 0));
}

TEST(Thread, TryStopKeepsAHungThreadOwned)
{
    HookRecorder hooks;
    TestThread thread;
    thread.HangUntilReleased();
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.WaitEntered());
    bool stopped = true;
    thread.TryStop(20, stopped);
    EXPECT_FALSE(stopped);
    EXPECT_TRUE(thread.IsRunning());
    const auto logs = HookRecorder::Logs();
    ASSERT_EQ(1u, logs.size());
    EXPECT_EQ(1, logs[0].level);
    EXPECT_EQ(Formatted(L"Thread::Stop() - Timeout exceeded.  Thread not stopped. thread Id=0x%X, "
                  L"Handle=0x%I64x, timeout=%I64d ms",
                  thread.ThreadId(), thread.ThreadHandle(), 20),
              logs[0].message);
    EXPECT_NE(std::wstring::npos, logs[0].message.find(L", timeout=20 ms")) << logs[0].message;

    thread.Release();
    thread.TryStop(-1, stopped);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(nullptr, thread.ThreadHandle());
    EXPECT_EQ(1u, HookRecorder::Logs().size());
}

TEST(Thread, RegistersUnderItsNameOrUnnamed)
{
    struct Case {
        std::unique_ptr<TestThread> thread;
        const char* expected;
    };
    Case cases[3] = {
        {std::make_unique<TestThread>(), "Unnamed"},
        {std::make_unique<TestThread>("poller"), "poller"},
        {std::make_unique<TestThread>(L"w\u00EFde"), "w\xEF" "de"},  // ANSI code page 1252
    };
    for (Case& c : cases) {
        HookRecorder hooks;
        ASSERT_TRUE(c.thread->Start());
        ASSERT_TRUE(c.thread->WaitEntered());
        c.thread->Stop();
        EXPECT_EQ(std::vector<std::string>{c.expected}, HookRecorder::Registered());
    }
    EXPECT_EQ(nullptr, cases[0].thread->Name());
    EXPECT_EQ(nullptr, TestThread(static_cast<const wchar_t*>(nullptr)).Name());
}

TEST(Thread, ExceptionFromRunEndsOnlyTheThread)
{
    HookRecorder hooks;
    TestThread thread;
    thread.ThrowFromRun();
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(WaitUntil([&] { return !thread.IsRunning(); }));
    DWORD exitCode = 0;
    ASSERT_TRUE(::GetExitCodeThread(thread.ThreadHandle(), &exitCode));
    EXPECT_EQ(1u, exitCode);
    EXPECT_EQ(1, HookRecorder::Unregistered());
    const auto logs = HookRecorder::Logs();
    ASSERT_EQ(1u, logs.size());
    EXPECT_EQ(1, logs[0].level);
    wchar_t expected[128] = {};
    _snwprintf(expected, 127, L"Thread::Entry() - Run ended by an exception, thread Id=0x%X",
               thread.ThreadId());
    EXPECT_EQ(expected, logs[0].message);
}

TEST(Thread, LeavesNoHandleOrThreadBehind)
{
    const ProcessCensus before = ProcessCensus::Take();
    {
        TestThread stopped("stopped");
        ASSERT_TRUE(stopped.Start());
        stopped.Stop();

        TestThread hung;
        hung.HangUntilReleased();
        ASSERT_TRUE(hung.Start());
        ASSERT_TRUE(hung.WaitEntered());
        hung.Stop(0);
        hung.Release();

        TestThread running;
        ASSERT_TRUE(running.Start());
    }
    ProcessCensus after;
    EXPECT_TRUE(WaitUntil([&] {
        after = ProcessCensus::Take();
        return after == before;
    })) << before << " / " << after;
}

struct DumpCase {
    const char* name;
    int defaultCount;
    int defaultFrequency;
    std::optional<DWORD> enabled;  // values written to the key, when set
    std::optional<DWORD> count;
    std::optional<DWORD> frequency;
    std::vector<int> dumpedAt;  // over hang counts 1 to 15
};

TEST(Thread, DumpCallStackFollowsCountAndFrequency)
{
    const std::vector<int> every = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const DumpCase cases[] = {
        {"count 0 dumps always", 0, 0, {}, {}, {}, every},
        {"count and frequency", 3, 5, {}, {}, {}, {3, 8, 13}},
        {"count only", 3, 0, {}, {}, {}, {3}},
        {"frequency -1 dumps each time after", 3, -1, {}, {}, {},
         {3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
        {"registry overrides", 10, 0, 1, 3, 5, {3, 8, 13}},
        {"registry keeps missing values", 3, 5, 1, {}, {}, {3, 8, 13}},
        {"registry disables", 0, 0, 0, {}, {}, {}},
        {"settings ignored without switch", 10, 0, {}, 3, 5, {10}},
    };
    for (const DumpCase& c : cases) {
        HookRecorder hooks;
        ScopedRegistryKey key(HKEY_LOCAL_MACHINE);
        if (c.enabled) key.SetDword("", "DumpThreadStackInfo", *c.enabled);
        if (c.count) key.SetDword("", "DumpThreadStackInfoCount", *c.count);
        if (c.frequency) key.SetDword("", "DumpThreadStackInfoFrequency", *c.frequency);
        TestThread thread;
        std::vector<int> dumpedAt;
        for (int hang = 1; hang <= 15; ++hang) {
            const size_t before = HookRecorder::Dumps().size();
            thread.DumpCallStack(key.Path().c_str(), c.defaultCount, hang, c.defaultFrequency);
            if (HookRecorder::Dumps().size() != before) {
                dumpedAt.push_back(hang);
            }
        }
        EXPECT_EQ(c.dumpedAt, dumpedAt) << c.name;
    }
}

TEST(Thread, FailedDumpIsLoggedAndStillCounts)
{
    HookRecorder hooks;
    HookRecorder::SetDumpResult(false);
    TestThread thread;
    ASSERT_TRUE(thread.Start());
    for (int hang = 1; hang <= 8; ++hang) {
        thread.DumpCallStack("Software\\RouterClientTests\\NoSuchKey", 3, hang, 5);
    }
    EXPECT_EQ((std::vector<DWORD>{thread.ThreadId(), thread.ThreadId()}), HookRecorder::Dumps());
    const auto logs = HookRecorder::Logs();
    ASSERT_EQ(2u, logs.size());
    wchar_t expected[160] = {};
    _snwprintf(expected, 159,
               L"Failed to output thread call stack (thread Id=0x%X, Handle=0x%I64X)",
               thread.ThreadId(),
               static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(thread.ThreadHandle())));
    EXPECT_EQ(1, logs[0].level);
    EXPECT_EQ(expected, logs[0].message);
}

}  // namespace
