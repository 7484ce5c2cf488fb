#include "common/thread/symbol_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/util/system_error_text.h"
#include "scoped_environment_variable.h"
#include "wait_until.h"
#include "thread_test_support.h"

namespace {

std::string CurrentFolder()
{
    char folder[MAX_PATH * 4] = {};
    ::GetCurrentDirectoryA(sizeof(folder), folder);
    return folder;
}

std::string ExecutableFolder()
{
    char path[MAX_PATH * 4] = {};
    ::GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string folder = path;
    folder.resize(folder.find_last_of("\\/"));
    return folder;
}

std::wstring Hex16(std::uint64_t value)
{
    wchar_t text[32];
    std::swprintf(text, 32, L"%016llX", static_cast<unsigned long long>(value));
    return text;
}

std::vector<std::wstring> MessagesStartingWith(const std::wstring& prefix)
{
    std::vector<std::wstring> found;
    for (const HookLogEntry& entry : HookRecorder::Logs()) {
        if (entry.message.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(entry.message);
        }
    }
    return found;
}

bool AnyMessageContains(const std::wstring& part)
{
    for (const HookLogEntry& entry : HookRecorder::Logs()) {
        if (entry.message.find(part) != std::wstring::npos) {
            return true;
        }
    }
    return false;
}

// Memory allocated whole pages at a time, the last page optionally made
// unreadable.
class Pages {
public:
    Pages(std::size_t pages, bool lastUnreadable) : size_(pages * 4096)
    {
        base_ = static_cast<unsigned char*>(
            ::VirtualAlloc(nullptr, size_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (lastUnreadable) {
            DWORD old = 0;
            ::VirtualProtect(base_ + size_ - 4096, 4096, PAGE_NOACCESS, &old);
        }
    }
    ~Pages() { ::VirtualFree(base_, 0, MEM_RELEASE); }
    unsigned char* Base() const { return base_; }
    // The first unreadable byte when the last page is protected.
    unsigned char* LastPage() const { return base_ + size_ - 4096; }

private:
    std::size_t size_;
    unsigned char* base_;
};

TEST(GetSymbolPath, WithoutSymbolVariablesJoinsFoldersAndSystemRoot)
{
    ScopedEnvironmentVariable symbols(L"_NT_SYMBOL_PATH", nullptr);
    ScopedEnvironmentVariable alternate(L"_NT_ALTERNATE_SYMBOL_PATH", nullptr);
    ScopedEnvironmentVariable root(L"SYSTEMROOT", L"C:\\windows");
    HookRecorder recorder;

    char buffer[8192];
    ASSERT_EQ(buffer, GetSymbolPath(buffer, sizeof(buffer)));

    EXPECT_EQ(CurrentFolder() + ";" + ExecutableFolder() + ";C:\\windows", std::string(buffer));
    const std::wstring error = SystemErrorText(ERROR_ENVVAR_NOT_FOUND).Text();
    const auto logs = HookRecorder::Logs();
    ASSERT_EQ(2u, logs.size());
    EXPECT_EQ(2, logs[0].level);
    EXPECT_EQ("SymbolEngine::GetSymbolPath", logs[0].function);
    EXPECT_EQ(L"[SymbolEngine::GetSymbolPath] Cannot get env value for _NT_SYMBOL_PATH, the "
              L"function returns error: " + error + L". code (203)",
              logs[0].message);
    EXPECT_EQ(2, logs[1].level);
    EXPECT_EQ(L"[SymbolEngine::GetSymbolPath] Cannot get env value for "
              L"_NT_ALTERNATE_SYMBOL_PATH, the function returns error: " + error + L". code (203)",
              logs[1].message);
}

TEST(GetSymbolPath, WithSymbolVariablesAddsThemInOrder)
{
    ScopedEnvironmentVariable symbols(L"_NT_SYMBOL_PATH", L"srv*C:\\symbols");
    ScopedEnvironmentVariable alternate(L"_NT_ALTERNATE_SYMBOL_PATH", L"D:\\alternate");
    ScopedEnvironmentVariable root(L"SYSTEMROOT", L"C:\\windows");
    HookRecorder recorder;

    char buffer[8192];
    ASSERT_EQ(buffer, GetSymbolPath(buffer, sizeof(buffer)));

    EXPECT_EQ(CurrentFolder() + ";" + ExecutableFolder() + ";srv*C:\\symbols;D:\\alternate;C:\\windows",
              std::string(buffer));
    EXPECT_TRUE(HookRecorder::Logs().empty());
}

TEST(GetSymbolPath, CutsToTheBufferAndRefusesNoBuffer)
{
    HookRecorder recorder;
    char small[4] = {'x', 'x', 'x', 'x'};
    ASSERT_EQ(small, GetSymbolPath(small, sizeof(small)));
    EXPECT_EQ(CurrentFolder().substr(0, 3), std::string(small));

    EXPECT_EQ(nullptr, GetSymbolPath(nullptr, 10));
    const auto logs = MessagesStartingWith(L"SymbolEngine::GetSymbolPath Buffer is null");
    EXPECT_EQ(1u, logs.size());
}

TEST(SymbolEngine, ProcessEngineServesThreadDumpsAndHoldsItsLockAfterInitialize)
{
    SymbolEngine* engine = ProcessSymbolEngine();
    ASSERT_NE(nullptr, engine);
    EXPECT_NE(nullptr, GetThreadHooks().dumpThreadCallStack);

    ASSERT_TRUE(engine->Initialize());
    EXPECT_EQ(::GetCurrentThreadId(), engine->LockOwner());
    engine->Release();
    EXPECT_EQ(0u, engine->LockOwner());

    HookRecorder recorder;
    engine->CheckSymbolEngine();
    EXPECT_FALSE(AnyMessageContains(L"Error innitializing the symbol engine"));
    EXPECT_EQ(0u, engine->LockOwner());
}

struct WindowCase {
    std::uint64_t frameAbove;
    std::vector<std::pair<std::uint64_t, std::int64_t>> windows;  // offset from sp, length
};

TEST(SymbolEngine, MemoryWindowsFollowTheFrameDistance)
{
    const WindowCase cases[] = {
        {0x100, {{0, 1024}}},
        {0x2000, {{0, 4096}, {0x2000, 512}}},
    };
    SymbolEngine* engine = ProcessSymbolEngine();
    ASSERT_NE(nullptr, engine);
    for (const WindowCase& c : cases) {
        Pages stack(4, false);
        const auto sp = reinterpret_cast<std::uint64_t>(stack.Base());
        HookRecorder recorder;
        ASSERT_EQ(1, engine->DumpStackFromRegisters(
                         reinterpret_cast<std::uint64_t>(&CurrentFolder), sp, sp + c.frameAbove));

        std::vector<std::wstring> expected;
        for (const auto& window : c.windows) {
            expected.push_back(L"Memory dump " + Hex16(sp + window.first) + L", length " +
                               std::to_wstring(window.second));
        }
        EXPECT_EQ(expected, MessagesStartingWith(L"Memory dump ")) << c.frameAbove;
        EXPECT_EQ(std::vector<std::wstring>{L"Stack Frame Context: ESP=" + Hex16(sp) + L"  EBP=" +
                                            Hex16(sp + c.frameAbove)},
                  MessagesStartingWith(L"Stack Frame Context: "));
    }
}

TEST(SymbolEngine, DumpMemoryShowsWholeRowsOnly)
{
    unsigned char data[40];
    for (int i = 0; i < 16; ++i) {
        data[i] = static_cast<unsigned char>(i);
    }
    std::memcpy(data + 16, "0123456789ABCDEFxyz~\x7f\x80\xff\x20", 24);
    HookRecorder recorder;
    ProcessSymbolEngine()->DumpMemory(0x1000, data, 40);

    const auto logs = HookRecorder::Logs();
    ASSERT_EQ(3u, logs.size());
    EXPECT_EQ(3, logs[0].level);
    EXPECT_EQ(L"Memory dump 0000000000001000, length 32", logs[0].message);
    EXPECT_EQ(L"  0000000000001000: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F  "
              L"*................*",
              logs[1].message);
    EXPECT_EQ(L"  0000000000001010: 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46  "
              L"*0123456789ABCDEF*",
              logs[2].message);
}

TEST(SymbolEngine, DumpMemoryStopsAtUnreadableBytes)
{
    Pages pages(2, true);
    unsigned char* data = pages.LastPage() - 8;
    std::memcpy(data, "ab\x01" "def\x7fh", 8);
    {
        HookRecorder recorder;
        ProcessSymbolEngine()->DumpMemory(0x2000, data, 32);
        const auto logs = HookRecorder::Logs();
        ASSERT_EQ(2u, logs.size());
        EXPECT_EQ(L"Memory dump 0000000000002000, length 32", logs[0].message);
        EXPECT_EQ(L"  0000000000002000: 61 62 01 64 65 66 7F 68 ?? ?? ?? ?? ?? ?? ?? ??  "
                  L"*ab.def.h........*",
                  logs[1].message);
    }
    {
        // A row that ends at the boundary is whole; nothing follows it.
        std::memset(pages.LastPage() - 16, 'z', 16);
        HookRecorder recorder;
        ProcessSymbolEngine()->DumpMemory(pages.LastPage() - 16, 48);
        const auto logs = HookRecorder::Logs();
        ASSERT_EQ(2u, logs.size());
        EXPECT_EQ(L"Memory dump " + Hex16(reinterpret_cast<std::uint64_t>(pages.LastPage() - 16)) +
                      L", length 48",
                  logs[0].message);
        EXPECT_EQ(L"  " + Hex16(reinterpret_cast<std::uint64_t>(pages.LastPage() - 16)) +
                      L": 7A 7A 7A 7A 7A 7A 7A 7A 7A 7A 7A 7A 7A 7A 7A 7A  *zzzzzzzzzzzzzzzz*",
                  logs[1].message);
    }
}

// Frames laid out as the x86-64 frame-pointer chain has them: saved frame
// pointer, return address, then four words of the caller's.
class SyntheticChain {
public:
    explicit SyntheticChain(std::size_t frames) : words_(frames * 6, 0) {}
    std::uint64_t Address(std::size_t frame) const
    {
        return reinterpret_cast<std::uint64_t>(&words_[frame * 6]);
    }
    std::uint64_t* Frame(std::size_t frame) { return &words_[frame * 6]; }

private:
    std::vector<std::uint64_t> words_;
};

TEST(SymbolEngine, CollectCallStackFramesStores99AndCountsEveryFrame)
{
    SyntheticChain chain(150);
    for (std::size_t k = 0; k < 150; ++k) {
        std::uint64_t* frame = chain.Frame(k);
        frame[0] = k + 1 < 150 ? chain.Address(k + 1) : 0;
        frame[1] = 0x10000 + k;
        for (int j = 0; j < 4; ++j) {
            frame[2 + j] = k * 10 + j;
        }
    }
    ThreadCallStackFrames frames;
    EXPECT_EQ(150, ProcessSymbolEngine()->CollectCallStackFrames(chain.Address(0), 0x5000, 0x7000,
                                                                 frames));
    ASSERT_EQ(99, frames.count);
    EXPECT_EQ(chain.Address(0), frames.frames[0].AddrFrame.Offset);
    EXPECT_EQ(0x5000u, frames.frames[0].AddrStack.Offset);
    EXPECT_EQ(0x7000u, frames.frames[0].AddrPC.Offset);
    EXPECT_EQ(AddrModeFlat, frames.frames[0].AddrPC.Mode);
    EXPECT_EQ(0u, frames.frames[0].Params[0]);
    EXPECT_EQ(3u, frames.frames[0].Params[3]);
    EXPECT_EQ(chain.Address(98), frames.frames[98].AddrFrame.Offset);
    EXPECT_EQ(chain.Address(97) + 16, frames.frames[98].AddrStack.Offset);
    EXPECT_EQ(0x10000u + 97, frames.frames[98].AddrPC.Offset);
    EXPECT_EQ(982u, frames.frames[98].Params[2]);
    EXPECT_EQ(0u, frames.frames[99].AddrFrame.Offset);
}

TEST(SymbolEngine, CollectCallStackFramesEndsOnBrokenChains)
{
    SymbolEngine* engine = ProcessSymbolEngine();
    ThreadCallStackFrames frames;
    SyntheticChain chain(2);

    // Saved frame pointer equal to its own address.
    chain.Frame(0)[0] = chain.Address(0);
    chain.Frame(0)[1] = 0x1234;
    EXPECT_EQ(1, engine->CollectCallStackFrames(chain.Address(0), 0x5000, 0x7000, frames));
    EXPECT_EQ(1, frames.count);

    // A step down the stack.
    chain.Frame(0)[0] = chain.Address(1);
    chain.Frame(1)[0] = chain.Address(0);
    chain.Frame(1)[1] = 0x1234;
    EXPECT_EQ(2, engine->CollectCallStackFrames(chain.Address(0), 0x5000, 0x7000, frames));
    EXPECT_EQ(2, frames.count);

    // A return address of 0.
    chain.Frame(0)[1] = 0;
    EXPECT_EQ(1, engine->CollectCallStackFrames(chain.Address(0), 0x5000, 0x7000, frames));

    // No frame pointer, and a frame pointer into unreadable memory.
    EXPECT_EQ(0, engine->CollectCallStackFrames(0, 0x5000, 0x7000, frames));
    EXPECT_EQ(0, frames.count);
    Pages pages(1, true);
    EXPECT_EQ(0, engine->CollectCallStackFrames(reinterpret_cast<std::uint64_t>(pages.Base()),
                                                0x5000, 0x7000, frames));
}

struct WorkerEvents {
    HANDLE entered;
    HANDLE release;
};

__attribute__((noinline)) DWORD SymbolEngineTestWaitForRelease(WorkerEvents* events)
{
    return ::WaitForSingleObject(events->release, 30000);
}

__attribute__((noinline)) DWORD SymbolEngineTestBlockedWorker(WorkerEvents* events)
{
    ::SetEvent(events->entered);
    const DWORD result = SymbolEngineTestWaitForRelease(events);
    // Keeps the call from becoming a tail call that would leave no frame.
    return result == WAIT_OBJECT_0 ? 0 : 1;
}

DWORD WINAPI BlockedWorkerMain(void* parameter)
{
    return SymbolEngineTestBlockedWorker(static_cast<WorkerEvents*>(parameter));
}

// One spinning worker at a time. Globals keep both functions free of saved
// registers: GCC's x86-64 Windows code then points the frame pointer at the
// saved one, which is what the frame-pointer walk follows.
std::atomic<bool> g_spinLooping{false};
std::atomic<bool> g_spinRelease{false};

__attribute__((noinline)) void SymbolEngineTestPause()
{
    YieldProcessor();
}

// Waits in its own code: Wine's system calls do not keep the frame-pointer
// chain, so a thread suspended inside one shows no frames to walk. The call
// keeps it from being a leaf, which GCC builds without a frame.
__attribute__((noinline)) void SymbolEngineTestSpinningWorker()
{
    SymbolEngineTestPause();
    g_spinLooping = true;
    while (!g_spinRelease.load()) {
        YieldProcessor();
    }
}

DWORD WINAPI SpinningWorkerMain(void*)
{
    SymbolEngineTestSpinningWorker();
    return 0;
}

class SpinningWorker {
public:
    SpinningWorker()
    {
        g_spinLooping = false;
        g_spinRelease = false;
        thread_ = ::CreateThread(nullptr, 0, &SpinningWorkerMain, nullptr, 0, &id_);
    }
    ~SpinningWorker()
    {
        Release();
        ::WaitForSingleObject(thread_, 30000);
        ::CloseHandle(thread_);
    }
    // From then on the thread runs only the loop.
    bool WaitEntered() { return WaitUntil([] { return g_spinLooping.load(); }); }
    void Release() { g_spinRelease = true; }
    HANDLE Handle() const { return thread_; }
    DWORD Id() const { return id_; }

private:
    HANDLE thread_ = nullptr;
    DWORD id_ = 0;
};

// Resumed: a suspension finds the count at 0, and the thread ends when told.
template <typename Worker>
void ExpectResumedAndFinishing(Worker& worker)
{
    EXPECT_EQ(0u, ::SuspendThread(worker.Handle()));
    EXPECT_EQ(1u, ::ResumeThread(worker.Handle()));
    worker.Release();
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(worker.Handle(), 5000));
    DWORD code = 1;
    ASSERT_TRUE(::GetExitCodeThread(worker.Handle(), &code));
    EXPECT_EQ(0u, code);
}

TEST(SymbolEngine, DumpThreadCallStackNamesTheWaitingFunctionAndResumesTheThread)
{
    SpinningWorker worker;
    ASSERT_TRUE(worker.WaitEntered());
    HookRecorder recorder;
    ASSERT_TRUE(ProcessSymbolEngine()->DumpThreadCallStack(worker.Handle()));

    const auto contexts = MessagesStartingWith(L"Stack Frame Context: ESP=");
    ASSERT_EQ(1u, contexts.size());
    const auto frames = MessagesStartingWith(L"PC Address: ");
    ASSERT_FALSE(frames.empty());
    // The first frame is the one the thread was stopped in.
    const auto symbols = MessagesStartingWith(L"PrintThreadCallStackFrame - Symbol Information: ");
    ASSERT_EQ(2u, symbols.size());
    EXPECT_EQ(L"PrintThreadCallStackFrame - Symbol Information: SymbolEngineTestSpinningWorker",
              symbols[0]);
    EXPECT_TRUE(AnyMessageContains(L"PrintThreadCallStackFrame - Symbol Information: SpinningWorkerMain"));
    EXPECT_TRUE(AnyMessageContains(
        L"PrintThreadCallStackFrame - Module Name: common_thread_symbol_tests.exe"));
    EXPECT_TRUE(
        AnyMessageContains(L"PrintThreadCallStackFrame - Source File: symbol_engine_test.cpp, line "));
    // The copied stack is shown from where it was copied.
    unsigned long long rsp = 0;
    unsigned long long rbp = 0;
    ASSERT_EQ(2, std::swscanf(contexts[0].c_str(), L"Stack Frame Context: ESP=%llX  EBP=%llX", &rsp,
                              &rbp));
    const auto dumps = MessagesStartingWith(L"Memory dump ");
    ASSERT_FALSE(dumps.empty());
    const std::wstring firstDump = L"Memory dump " + Hex16(rsp & ~15ull) + L", length ";
    EXPECT_EQ(firstDump, dumps[0].substr(0, firstDump.size()));
    ExpectResumedAndFinishing(worker);
}

TEST(SymbolEngine, DumpThreadCallStackOfAThreadBlockedOnAnEventResumesIt)
{
    WorkerEvents events{::CreateEventW(nullptr, TRUE, FALSE, nullptr),
                        ::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    struct Blocked {
        WorkerEvents& events;
        HANDLE thread;
        HANDLE Handle() const { return thread; }
        void Release() { ::SetEvent(events.release); }
    } worker{events, ::CreateThread(nullptr, 0, &BlockedWorkerMain, &events, 0, nullptr)};
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(events.entered, 5000));
    // Waiting inside a system call, its frame pointer is no chain: the
    // unwind tables find the frames, down to the worker's own function. The
    // worker signals just before it waits, so a dump may catch it on the
    // way; once it waits, every dump names it.
    const bool named = WaitUntil([&] {
        HookRecorder recorder;
        if (!ProcessSymbolEngine()->DumpThreadCallStack(worker.Handle())) {
            return false;
        }
        for (const HookLogEntry& entry : HookRecorder::Logs()) {
            if (entry.message.find(L"Symbol Information: SymbolEngineTestBlockedWorker") !=
                std::wstring::npos) {
                return true;
            }
        }
        return false;
    });
    EXPECT_TRUE(named);
    ExpectResumedAndFinishing(worker);
    ::CloseHandle(worker.thread);
    ::CloseHandle(events.entered);
    ::CloseHandle(events.release);
}

TEST(SymbolEngine, ThreadDumpHookReachesTheEngine)
{
    SpinningWorker worker;
    ASSERT_TRUE(worker.WaitEntered());
    EXPECT_TRUE(ThreadDumpCallStack(worker.Handle(), worker.Id()));
    ExpectResumedAndFinishing(worker);
}

TEST(SymbolEngine, DumpThreadCallStackOfAnInvalidHandleFails)
{
    HookRecorder recorder;
    EXPECT_FALSE(ProcessSymbolEngine()->DumpThreadCallStack(nullptr));
    const auto logs = MessagesStartingWith(L"Failed to get duplicate handle (Handle=0x0, Error=");
    ASSERT_EQ(1u, logs.size());
    EXPECT_EQ(1, HookRecorder::Logs()[0].level);
}

TEST(SymbolEngine, PrintThreadCallStackFrameRefusesNoFrame)
{
    HookRecorder recorder;
    EXPECT_EQ(0, ProcessSymbolEngine()->PrintThreadCallStackFrame(nullptr));
    const auto logs = HookRecorder::Logs();
    ASSERT_EQ(1u, logs.size());
    EXPECT_EQ(2, logs[0].level);
    EXPECT_EQ(L"[PrintThreadCallStackFrame] Stack frame is null", logs[0].message);
}

TEST(SymbolEngine, GetCallStackTextOfTheCurrentThread)
{
    alignas(16) CONTEXT context;
    std::memset(&context, 0, sizeof(context));
    ::RtlCaptureContext(&context);
    std::string text;
    ProcessSymbolEngine()->GetCallStackText(::GetCurrentThread(), &context, text);
    const std::string head =
        "#-----    Call Stack   -----\n"
        "#\t1:\tcommon_thread_symbol_tests!SymbolEngine_GetCallStackTextOfTheCurrentThread_Test::"
        "TestBody\n#\t\t";
    EXPECT_EQ(head, text.substr(0, head.size()));
    EXPECT_NE(std::string::npos, text.find("\\tests\\common\\thread\\symbol_engine_test.cpp("));
}

}  // namespace
