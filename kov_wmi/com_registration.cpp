#include "com_registration.h"

#include <objbase.h>

#include <cstdio>

#include "common/registry/registry.h"
#include "common/util/system_error_text.h"
#include "kov_wmi/toolkit.h"

namespace kov_wmi {

namespace {

constexpr const char* kRegister = "kov_wmi::RegisterCOM";
constexpr const char* kUnregister = "kov_wmi::UnregisterCOM";
constexpr int kModulePathUnits = 260;
constexpr int kSubKeyLimit = 255;

// The brace form StringFromGUID2 gives; empty when it gives none.
void ClsidText(REFGUID clsid, wchar_t (&text)[128])
{
    text[0] = L'\0';
    if (::StringFromGUID2(clsid, text, 127) == 0) {
        text[0] = L'\0';
    }
}

// The class key. Two backslashes stand before the brace; the registry reads
// them as one separator, and unregistration builds the very same path.
bool ClassKeyPath(const wchar_t* clsidText, wchar_t* path, int limit)
{
    return _snwprintf(path, static_cast<std::size_t>(limit), L"Software\\Classes\\CLSID\\\\%s", clsidText) >= 0;
}

// One sub-key of the class key with its default value (and, for the
// server key, the threading model). A failure here is not reported.
void WriteSubKey(const wchar_t* classKey, const wchar_t* format, const wchar_t* defaultValue,
                 const wchar_t* threadingModel = nullptr)
{
    wchar_t path[kSubKeyLimit + 1] = {};
    if (_snwprintf(path, kSubKeyLimit, format, classKey) < 0) {
        return;
    }
    Registry subKey(path);
    if (!subKey.Create()) {
        return;
    }
    if (defaultValue != nullptr) {
        subKey.WriteString(L"", defaultValue);
    }
    if (threadingModel != nullptr) {
        subKey.WriteString(L"ThreadingModel", threadingModel);
    }
    subKey.Close();
}

}  // namespace

bool RegisterCOM(REFGUID clsid, HINSTANCE module, const wchar_t* name, const wchar_t* progId,
                 const wchar_t* versionIndependentProgId, LogCallback callback)
{
    if (module == nullptr) {
        Report(callback, 1, kRegister, __LINE__, L"Instance handler should not be 0");
        return false;
    }
    wchar_t modulePath[kModulePathUnits] = {};
    if (::GetModuleFileNameW(module, modulePath, kModulePathUnits) == 0) {
        const SystemErrorText error(::GetLastError());
        Report(callback, 1, kRegister, __LINE__, L"Cannot get filename from handler: %I64d with error: %s - %d",
               static_cast<long long>(reinterpret_cast<INT_PTR>(module)), error.Text(),
               static_cast<int>(error.Code()));
        return false;
    }
    return RegisterCOM(clsid, modulePath, name, progId, versionIndependentProgId, callback);
}

bool RegisterCOM(REFGUID clsid, const wchar_t* modulePath, const wchar_t* name, const wchar_t* progId,
                 const wchar_t* versionIndependentProgId, LogCallback callback)
{
    const wchar_t* pathText = modulePath != nullptr ? modulePath : L"";
    if (name == nullptr || name[0] == L'\0') {
        Report(callback, 1, kRegister, __LINE__, L"COM object name is empty for %s", pathText);
        return false;
    }
    if (progId == nullptr || progId[0] == L'\0') {
        Report(callback, 1, kRegister, __LINE__, L"Prog ID of COM object name is empty for %s", pathText);
        return false;
    }
    if (pathText[0] == L'\0') {
        Report(callback, 1, kRegister, __LINE__, L"File path is empty");
        return false;
    }
    if (!FileExists(pathText)) {
        Report(callback, 1, kRegister, __LINE__, L"Cannot find: %s", pathText);
        return false;
    }
    wchar_t clsidText[128];
    ClsidText(clsid, clsidText);
    if (clsidText[0] == L'\0') {
        Report(callback, 1, kRegister, __LINE__, L"Wrong guid: %s", clsidText);
        return false;
    }

    wchar_t classKey[1024] = {};
    ClassKeyPath(clsidText, classKey, 1023);
    Registry key(classKey);
    if (key.Open()) {
        key.Close();
        return true;  // an existing registration is left as it is
    }
    if (!key.Create()) {
        const SystemErrorText error(static_cast<DWORD>(key.LastError()));
        Report(callback, 1, kRegister, __LINE__, L"Cannot create registry path: %s for {%s} with error: %s - %d",
               classKey, pathText, error.Text(), static_cast<int>(error.Code()));
        key.Close();
        return false;
    }
    key.WriteString(L"", name);
    key.Close();

    WriteSubKey(classKey, L"%s\\InprocServer32", pathText, L"Both");
    WriteSubKey(classKey, L"%s\\NotInsertable", nullptr);
    WriteSubKey(classKey, L"%s\\ProgID", progId);
    if (versionIndependentProgId != nullptr && versionIndependentProgId[0] != L'\0') {
        WriteSubKey(classKey, L"%s\\VersionIndependentProgID", versionIndependentProgId);
    }
    return true;
}

bool UnregisterCOM(REFGUID clsid, LogCallback callback)
{
    wchar_t clsidText[128];
    ClsidText(clsid, clsidText);
    if (clsidText[0] == L'\0') {
        Report(callback, 1, kUnregister, __LINE__, L"Wrong guid: %s", clsidText);
        return false;
    }
    wchar_t classKey[256] = {};
    ClassKeyPath(clsidText, classKey, 255);
    Registry registry;
    return registry.DeleteKey(classKey);
}

}  // namespace kov_wmi
