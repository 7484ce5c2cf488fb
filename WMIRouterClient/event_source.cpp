#include "event_source.h"

#include <cstdio>
#include <cwchar>

#include "WMIRouterClient/diagnostic_log.h"
#include "WMIRouterClient/log_contexts.h"
#include "common/registry/registry.h"
#include "common/util/system_error_text.h"

namespace {

constexpr wchar_t kApplicationLog[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr int kPathUnits = 260;

template <typename... Args>
void Report(LogCallback callback, std::int32_t level, const char* function, std::int32_t line,
            const wchar_t* format, Args... args)
{
    ReportToCallback(callback, level, function, line, &g_eventSourceLogContext, format, args...);
}

void CopyLimited(wchar_t (&target)[255], const wchar_t* text)
{
    std::wcsncpy(target, text, 254);
    target[254] = L'\0';
}

}  // namespace

void InstallEventSource(const wchar_t* source, LogCallback logCallback)
{
    constexpr const char* kFunction = "InstallEventSource";
    if (source == nullptr) {
        source = L"";
    }
    Registry registry;
    // The module that holds this code: the DLL itself when it installs.
    wchar_t moduleName[kPathUnits] = {};
    HMODULE module = nullptr;
    const BOOL found = ::GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&InstallEventSource), &module);
    const DWORD moduleError = found ? 0 : ::GetLastError();

    wchar_t keyPath[kPathUnits] = {};
    _snwprintf(keyPath, kPathUnits - 1, L"%s%s", kApplicationLog, source);
    if (!registry.Create(keyPath)) {
        const SystemErrorText error(static_cast<DWORD>(registry.LastError()));
        Report(logCallback, 1, kFunction, __LINE__, L"Could not create registry record: %s - %d - %s",
               keyPath, static_cast<int>(error.Code()), error.Text());
        registry.Close();
        return;
    }
    if (module == nullptr) {
        const SystemErrorText error(moduleError);
        Report(logCallback, 2, kFunction, __LINE__, L"Could get module handle for: %s - %d - %s", moduleName,
               static_cast<int>(error.Code()), error.Text());
    }
    wchar_t modulePath[kPathUnits] = {};
    const DWORD length = ::GetModuleFileNameW(module, modulePath, kPathUnits - 1);
    if (length == 0 || length >= kPathUnits - 1) {
        const SystemErrorText error(::GetLastError());
        Report(logCallback, 1, kFunction, __LINE__, L"Could get module handle for: %s - %d - %s", modulePath,
               static_cast<int>(error.Code()), error.Text());
    } else {
        // A failed value write is not reported.
        registry.WriteDword(L"TypesSupported", static_cast<std::int32_t>(7));
        registry.WriteString(L"EventMessageFile", modulePath);
    }
    registry.Close();
}

std::int32_t StartLogging(const wchar_t* folder, std::int32_t level, const wchar_t* source,
                          EventSourceRecord* record)
{
    if (record == nullptr || source == nullptr || source[0] == L'\0') {
        return -1;
    }
    *record = EventSourceRecord{};
    CopyLimited(record->source, source);

    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)  // the platform id is all that is asked
#endif
    const BOOL known = ::GetVersionExA(&version);
    if (record->handle == nullptr && known && version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        InstallEventSource(source, &DiagnosticLog);
        record->handle = ::RegisterEventSourceW(nullptr, record->source);
        if (record->handle == nullptr) {
            const SystemErrorText error(::GetLastError());
            Report(&DiagnosticLog, 1, "StartLogging", __LINE__, L"Could register event for: %s - %d - %s",
                   record->source, static_cast<int>(error.Code()), error.Text());
        }
    }
    if (folder == nullptr || folder[0] == L'\0') {
        return -1;
    }
    record->level = static_cast<std::uint32_t>(level + 1) <= 18u ? level : 3;
    CopyLimited(record->folder, folder);
    return 0;
}

WORD ToEventLogType(std::int32_t level)
{
    switch (level) {
    case 0:
    case 1: return EVENTLOG_ERROR_TYPE;
    case 2: return EVENTLOG_WARNING_TYPE;
    default: return EVENTLOG_INFORMATION_TYPE;
    }
}
