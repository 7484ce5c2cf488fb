// The cases of the crash handler that end or break their process. Every log
// line goes straight to standard output as "level|message" with no
// buffering, so nothing is lost when the process is ended under it.
//
//   crash-child access-violation
//   crash-child invalid-parameter
//   crash-child dumper-timeout <wait milliseconds>
//   crash-child dumper-failure

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdarg>
#include <cwchar>
#include <string>

#include "common/thread/crash_handler.h"
#include "common/thread/thread_hooks.h"

namespace {

void WriteOut(const std::string& text)
{
    DWORD written = 0;
    static_cast<void>(::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(),
                                  static_cast<DWORD>(text.size()), &written, nullptr));
}

void WriteLine(const char* prefix, const wchar_t* message)
{
    char narrow[4 * 2048] = {};
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, message, -1, narrow, sizeof narrow, nullptr, nullptr);
    std::string line = prefix;
    line += '|';
    line.append(narrow, length > 0 ? static_cast<std::size_t>(length - 1) : 0);
    line += '\n';
    WriteOut(line);
}

void LogToStdout(int level, const char* /*function*/, const wchar_t* message)
{
    WriteLine(std::to_string(level).c_str(), message);
}

void Report(const wchar_t* format, ...)
{
    wchar_t message[512] = {};
    va_list args;
    va_start(args, format);
    std::vswprintf(message, 511, format, args);
    va_end(args);
    WriteLine("child", message);
}

// Volatile, so the compiler cannot see the store goes through null.
int* volatile g_target = nullptr;

__attribute__((noinline)) void CrashChildFaultingFunction()
{
    *g_target = 1;
}

// Called as the C runtime calls it: no msvcrt.dll call on this platform
// reaches a registered handler (Wine's msvcrt.dll offers no registration).
__attribute__((noinline)) void PassBadParameter(bool withTexts)
{
    if (withTexts) {
        InvalidParameterHandler(L"stream != NULL", L"fclose", L"fclose.c", 42, 0);
    } else {
        InvalidParameterHandler(nullptr, nullptr, nullptr, 0, 0);
    }
}

int AccessViolation()
{
    Report(L"thread=%lX function=%08lX", ::GetCurrentThreadId(),
           static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(&CrashChildFaultingFunction)));
    DefaultHandler handler;
    CrashChildFaultingFunction();
    Report(L"survived");
    return 1;
}

int InvalidParameter(bool withTexts)
{
    PassBadParameter(withTexts);
    Report(L"returned");
    return 0;
}

HANDLE g_writerEntered = nullptr;
HANDLE g_writerRelease = nullptr;

// A stack writer that cannot finish until the test lets it.
bool BlockedWriter(HANDLE /*thread*/)
{
    ::SetEvent(g_writerEntered);
    ::WaitForSingleObject(g_writerRelease, INFINITE);
    return true;
}

bool FailingWriter(HANDLE /*thread*/)
{
    return false;
}

int DumperTimeout(DWORD waitMilliseconds)
{
    SetDumperWaitMilliseconds(waitMilliseconds);
    g_writerEntered = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_writerRelease = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetDumperStackWriter(&BlockedWriter);
    const int result = InvalidParameter(false);
    // The writer was really reached before the wait ran out.
    Report(::WaitForSingleObject(g_writerEntered, 0) == WAIT_OBJECT_0 ? L"writer entered" : L"writer not entered");
    return result;
}

int DumperFailure()
{
    SetDumperStackWriter(&FailingWriter);
    return InvalidParameter(false);
}

}  // namespace

int main(int argc, char** argv)
{
    ThreadHooks hooks;
    hooks.log = &LogToStdout;
    SetThreadHooks(hooks);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "access-violation") {
        return AccessViolation();
    }
    if (mode == "invalid-parameter") {
        return InvalidParameter(true);
    }
    if (mode == "dumper-failure") {
        return DumperFailure();
    }
    if (mode == "dumper-timeout" && argc > 2) {
        return DumperTimeout(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
    }
    Report(L"unknown mode");
    return 3;
}
