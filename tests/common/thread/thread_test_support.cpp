#include "thread_test_support.h"

#include <stdexcept>

namespace {

std::mutex g_mutex;
std::vector<HookLogEntry> g_logs;
std::vector<std::string> g_registered;
int g_unregistered = 0;
std::vector<DWORD> g_dumps;
bool g_dumpResult = true;

void RecordRegister(const char* name)
{
    std::lock_guard<std::mutex> hold(g_mutex);
    g_registered.emplace_back(name != nullptr ? name : "(null)");
}

void RecordUnregister()
{
    std::lock_guard<std::mutex> hold(g_mutex);
    ++g_unregistered;
}

bool RecordDump(HANDLE, DWORD threadId)
{
    std::lock_guard<std::mutex> hold(g_mutex);
    g_dumps.push_back(threadId);
    return g_dumpResult;
}

void RecordLog(int level, const char* function, const wchar_t* message)
{
    std::lock_guard<std::mutex> hold(g_mutex);
    g_logs.push_back({level, function, message});
}

void ClearAll()
{
    std::lock_guard<std::mutex> hold(g_mutex);
    g_logs.clear();
    g_registered.clear();
    g_unregistered = 0;
    g_dumps.clear();
    g_dumpResult = true;
}

}  // namespace

HookRecorder::HookRecorder()
{
    ClearAll();
    ThreadHooks hooks;
    hooks.registerThread = &RecordRegister;
    hooks.unregisterThread = &RecordUnregister;
    hooks.dumpThreadCallStack = &RecordDump;
    hooks.log = &RecordLog;
    previous_ = SetThreadHooks(hooks);
}

HookRecorder::~HookRecorder()
{
    SetThreadHooks(previous_);
    ClearAll();
}

std::vector<HookLogEntry> HookRecorder::Logs()
{
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_logs;
}

std::vector<std::string> HookRecorder::Registered()
{
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_registered;
}

int HookRecorder::Unregistered()
{
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_unregistered;
}

std::vector<DWORD> HookRecorder::Dumps()
{
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_dumps;
}

void HookRecorder::SetDumpResult(bool result)
{
    std::lock_guard<std::mutex> hold(g_mutex);
    g_dumpResult = result;
}

void TestThread::Run()
{
    priorityAtEntry_ = ::GetThreadPriority(::GetCurrentThread());
    entered_.Set();
    if (throw_) {
        throw std::runtime_error("body failed");
    }
    if (hang_) {
        release_.Wait(-1);
        return;
    }
    StopEvent().Wait(-1);
}
