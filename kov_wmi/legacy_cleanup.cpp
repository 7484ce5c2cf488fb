#include "legacy_cleanup.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/registry/registry.h"
#include "common/util/system_error_text.h"
#include "kov_wmi/com_registration.h"
#include "kov_wmi/toolkit.h"
#include "kov_wmi/wmi_schema.h"

namespace kov_wmi {

namespace {

constexpr int kTextUnits = 260;

struct LegacyProvider {
    const char* function;
    const char* dllName;
    const char* service;
    GUID clsid;
};

const LegacyProvider kOldRouter = {
    "kov_wmi::RemoveOldRouterCounters", "MarrowfellRouterPerf.dll", "Marrowfell Router",
    {0x9A2BBBF9, 0xA024, 0x4699, {0xA0, 0xC4, 0x94, 0x0D, 0x16, 0x5E, 0xDB, 0x3A}}};
const LegacyProvider kOldAgent = {
    "kov_wmi::RemoveOldAgentCounters", "ZANPerfInfo.dll", "Marrowfell Server",
    {0xC6DD8E94, 0x1D5B, 0x4952, {0xA8, 0xB2, 0x0E, 0x66, 0x41, 0x56, 0x2D, 0x80}}};

constexpr const char* kRouterFallback =
    "C:\\Program Files\\Tollandine\\Marrowfell Enterprise Server\\Router\\MarrowfellRouterPerf.dll";
constexpr const char* kAgentFallbackExpandable = "%windir%\\system32\\ZANPerfInfo.dll";
constexpr const char* kAgentFallbackFixed = "C:\\Windows\\system32\\ZANPerfInfo.dll";
constexpr const char* kSharedDlls = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

template <typename... Args>
void Report(LogCallback callback, const LegacyProvider& provider, std::int32_t line, const wchar_t* format,
            Args... args)
{
    kov_wmi::Report(callback, 4, provider.function, line, format, args...);
}

// Deletes the first installer component of the first user that names the
// old DLL; the DLL path it recorded, or empty.
std::string RemoveInstallerComponent(const LegacyProvider& provider, LogCallback callback)
{
    Registry userData("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData");
    std::uint64_t users = 0;
    if (!userData.Open() || !userData.SubKeyCount(&users) || users == 0) {
        return {};
    }
    Registry firstUser;
    if (!userData.OpenSubKey(0, firstUser) || firstUser.LeafName() == nullptr) {
        return {};
    }
    char componentsPath[kTextUnits] = {};
    _snprintf(componentsPath, kTextUnits - 1, "%s\\%s\\Components", userData.Path(), firstUser.LeafName());
    Registry components(componentsPath);
    std::uint64_t componentCount = 0;
    if (!components.Open() || !components.SubKeyCount(&componentCount)) {
        return {};
    }
    for (std::uint64_t index = 0; index < componentCount; ++index) {
        Registry component;
        if (!components.OpenSubKey(static_cast<DWORD>(index), component)) {
            continue;
        }
        const std::string path = component.Path() != nullptr ? component.Path() : "";
        std::uint64_t valueCount = 0;
        if (!component.ValueCount(&valueCount)) {
            continue;
        }
        for (std::uint64_t value = 0; value < valueCount; ++value) {
            char name[kTextUnits] = {};
            char text[kTextUnits] = {};
            if (!component.EnumValueName(static_cast<DWORD>(value), name, kTextUnits) ||
                !component.ReadString(name, text, kTextUnits)) {
                continue;
            }
            if (std::strstr(text, provider.dllName) == nullptr || path.empty()) {
                continue;
            }
            component.Close();
            Registry deleter;
            if (!deleter.DeleteKey(path.c_str())) {
                break;  // on to the next component
            }
            Report(callback, provider, __LINE__, L"Delete %hs from [%hs]", provider.dllName, path.c_str());
            return text;
        }
    }
    return {};
}

void RemovePerformanceKeys(const LegacyProvider& provider, LogCallback callback)
{
    for (const char* controlSet : {"ControlSet001", "ControlSet002", "CurrentControlSet"}) {
        const std::string path = std::string("SYSTEM\\") + controlSet + "\\Services\\" + provider.service +
                                 "\\Performance";
        Registry key;
        if (key.DeleteKey(path.c_str())) {
            Report(callback, provider, __LINE__, L"%hs\n", path.c_str());
        }
    }
}

// The old agent DLL's entries in the shared-DLL reference counts, and no
// other: that list belongs to every program installed.
void RemoveSharedDllEntries(const std::string& installedPath, LogCallback callback)
{
    char expanded[kTextUnits] = {};
    ::ExpandEnvironmentStringsA(kAgentFallbackExpandable, expanded, kTextUnits - 1);
    const std::string candidates[] = {installedPath, expanded, kAgentFallbackFixed};

    Registry shared;
    if (!shared.Open(kSharedDlls, true)) {
        return;
    }
    std::vector<std::string> doomed;
    std::uint64_t count = 0;
    if (shared.ValueCount(&count)) {
        for (std::uint64_t index = 0; index < count; ++index) {
            char name[kTextUnits] = {};
            if (!shared.EnumValueName(static_cast<DWORD>(index), name, kTextUnits)) {
                continue;
            }
            for (const std::string& candidate : candidates) {
                if (!candidate.empty() && _stricmp(name, candidate.c_str()) == 0) {
                    doomed.push_back(name);
                    break;
                }
            }
        }
    }
    bool removed = false;
    for (const std::string& name : doomed) {
        removed = shared.DeleteValue(name.c_str()) || removed;
    }
    shared.Close();
    if (removed) {
        Report(callback, kOldAgent, __LINE__, L"%hs\n", kSharedDlls);
    }
}

void RemoveRegistrationAndFile(const LegacyProvider& provider, const std::string& installedPath,
                               LogCallback callback)
{
    if (!UnregisterCOM(provider.clsid, callback)) {
        return;
    }
    Report(callback, provider, __LINE__, L"Removed COM registration of %hs", provider.dllName);
    if (!installedPath.empty() && FileExists(installedPath.c_str())) {
        ::DeleteFileA(installedPath.c_str());  // its result does not matter: the fallback is not tried
        return;
    }
    if (&provider == &kOldRouter) {
        if (!::DeleteFileA(kRouterFallback)) {
            const SystemErrorText error(::GetLastError());
            Report(callback, provider, __LINE__, L"Cannot delete: %hs, %d: %s", kRouterFallback,
                   static_cast<int>(error.Code()), error.Text());
        }
        return;
    }
    char expanded[kTextUnits] = {};
    ::ExpandEnvironmentStringsA(kAgentFallbackExpandable, expanded, kTextUnits - 1);
    if (!::DeleteFileA(expanded) && !::DeleteFileA(kAgentFallbackFixed)) {
        const SystemErrorText error(::GetLastError());
        Report(callback, provider, __LINE__, L"Cannot delete: %hs", expanded);
        Report(callback, provider, __LINE__, L"Cannot delete: %hs, %d: %s", kAgentFallbackFixed,
               static_cast<int>(error.Code()), error.Text());
    }
}

}  // namespace

bool RemoveOldRouterCounters(LogCallback callback)
{
    const std::string installed = RemoveInstallerComponent(kOldRouter, callback);
    RemovePerformanceKeys(kOldRouter, callback);
    RemoveRegistrationAndFile(kOldRouter, installed, callback);
    return true;
}

bool RemoveOldAgentCounters(LogCallback callback)
{
    const std::string installed = RemoveInstallerComponent(kOldAgent, callback);
    RemovePerformanceKeys(kOldAgent, callback);
    RemoveSharedDllEntries(installed, callback);
    RemoveRegistrationAndFile(kOldAgent, installed, callback);
    // Neither class is in the provider table; each also gets that report.
    RemoveClassFromWBEM(L"Win32_PerfFormattedData_MarrowfellServer_WMIObjects", callback);
    RemoveClassFromWBEM(L"Win32_PerfRawData_MarrowfellServer_WMIObjects", callback);
    return true;
}

}  // namespace kov_wmi
