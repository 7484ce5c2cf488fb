#include "wmi_schema.h"

#include <windows.h>
#include <objbase.h>
#include <wbemcli.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/registry/registry.h"
#include "common/util/system_error_text.h"
#include "common/util/unique_resource.h"
#include "kov_wmi/counter_providers.h"
#include "kov_wmi/toolkit.h"

namespace kov_wmi {

namespace {

constexpr const char* kCompile = "kov_wmi::CompileMOFile";
constexpr const char* kRemoveClass = "kov_wmi::RemoveClassFromWBEM";
// WBEM_FLAG_CONSOLE_PRINT | WBEM_FLAG_STORE_FILE
constexpr LONG kCompileOptions = 0x108;
constexpr long kDeleteClassBufferSize = 1024;

HRESULT CreateMofCompiler(com_ptr<IMofCompiler>& compiler)
{
    return ::CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_INPROC_SERVER, IID_IMofCompiler,
                              reinterpret_cast<void**>(compiler.put()));
}

// WBEM_S_FALSE, or a phase that failed, is a failed compilation.
bool CompileFailed(HRESULT result, const WBEM_COMPILE_STATUS_INFO& status)
{
    return result == WBEM_S_FALSE || status.lPhaseError > 0;
}

std::wstring Widen(const char* text)
{
    const int units = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(units > 0 ? units - 1 : 0, L'\0');
    if (units > 1) {
        ::MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], units);
    }
    return wide;
}

std::string Narrow(const wchar_t* text)
{
    const int bytes = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1) {
        ::WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], bytes, nullptr, nullptr);
    }
    return narrow;
}

// Upper case as Windows-1252 has it, whatever the thread's locale.
wchar_t UpperCase1252(wchar_t c)
{
    if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return static_cast<wchar_t>(c - 0x20);
    }
    switch (c) {
    case 0x0161: return 0x0160;  // s caron
    case 0x0153: return 0x0152;  // oe
    case 0x017E: return 0x017D;  // z caron
    case 0x00FF: return 0x0178;  // y diaeresis
    default: return c;
    }
}

std::wstring UpperCased(const std::wstring& text)
{
    std::wstring upper(text);
    for (wchar_t& c : upper) {
        c = UpperCase1252(c);
    }
    return upper;
}

}  // namespace

const wchar_t* CompilePhaseText(long phase)
{
    switch (phase) {
    case 0: return L"no error";
    case 1: return L"argument error";
    case 2: return L"parsing";
    case 3: return L"errors occurred while storing the data";
    default: return L"unknown phase";
    }
}

bool CompileMOFile(const wchar_t* path, LogCallback callback)
{
    if (path == nullptr || path[0] == L'\0') {
        Report(callback, 1, kCompile, __LINE__, L"MOF file is empty");
        return false;
    }
    if (!FileExists(path)) {
        Report(callback, 1, kCompile, __LINE__, L"Cannot find MOF file : %s", path);
        return false;
    }
    com_ptr<IMofCompiler> compiler;
    const HRESULT created = CreateMofCompiler(compiler);
    if (created != S_OK) {
        const SystemErrorText error(::GetLastError());
        Report(callback, 1, kCompile, __LINE__,
               L"Cannot initialize MOF Compiler COM interface for %s, result: [%d] Error %d {%s}", path,
               static_cast<int>(created), static_cast<int>(error.Code()), error.Text());
        return false;
    }
    bool compiled = false;
    try {
        WBEM_COMPILE_STATUS_INFO status = {};
        const HRESULT result = compiler->CompileFile(const_cast<wchar_t*>(path), nullptr, nullptr, nullptr,
                                                     nullptr, kCompileOptions, 0, 0, &status);
        if (CompileFailed(result, status)) {
            Report(callback, 1, kCompile, __LINE__,
                   L"Error [%d] MOF [%s] compilation failed with error : %s, error code : %d, object number : %d",
                   static_cast<int>(result), path, CompilePhaseText(status.lPhaseError),
                   static_cast<int>(status.hRes), static_cast<int>(status.ObjectNum));
        } else {
            compiled = true;
        }
    } catch (...) {
        compiled = false;
    }
    return compiled;
}

bool RemoveClassFromWBEM(const wchar_t* className, LogCallback callback)
{
    if (className == nullptr || className[0] == L'\0') {
        Report(callback, 1, kRemoveClass, __LINE__, L"Class name is empty");
        return false;
    }
    char mof[kDeleteClassBufferSize] = {};
    _snprintf(mof, kDeleteClassBufferSize - 1,
              "#pragma namespace(\"\\\\\\\\.\\\\Root\\\\CimV2\")\n#pragma deleteclass(\"%ls\",FAIL)", className);

    bool removed = false;
    com_ptr<IMofCompiler> compiler;
    const HRESULT created = CreateMofCompiler(compiler);
    if (created != S_OK) {
        const SystemErrorText error(::GetLastError());
        Report(callback, 1, kRemoveClass, __LINE__, L"Cannot initialize MOF Compiler COM interface: %d, Error %d {%s}",
               static_cast<int>(created), static_cast<int>(error.Code()), error.Text());
    } else {
        try {
            WBEM_COMPILE_STATUS_INFO status = {};
            // The whole buffer, the text and its zero fill.
            const HRESULT result =
                compiler->CompileBuffer(kDeleteClassBufferSize, reinterpret_cast<BYTE*>(mof), nullptr, nullptr,
                                        nullptr, nullptr, kCompileOptions, 0, 0, &status);
            if (CompileFailed(result, status)) {
                Report(callback, 1, kRemoveClass, __LINE__,
                       L"Error [%d] MOF compilation failed with error : %s, error code : %d, object number : %d",
                       static_cast<int>(result), CompilePhaseText(status.lPhaseError),
                       static_cast<int>(status.hRes), static_cast<int>(status.ObjectNum));
            } else {
                removed = true;
            }
        } catch (...) {
            removed = false;
        }
    }
    compiler.reset();
    // Its result does not change the outcome: the class is gone from WMI or not.
    RemoveClassFromRegistry(Narrow(className).c_str(), callback);
    return removed;
}

}  // namespace kov_wmi

bool RemoveClassFromRegistry(const char* className, LogCallback callback)
{
    constexpr const char* kFunction = "RemoveClassFromRegistry";
    if (className == nullptr || className[0] == '\0') {
        kov_wmi::Report(callback, 1, kFunction, __LINE__, L"Class name is empty");
        return false;
    }
    const CounterProviderInfo* row = nullptr;
    for (const CounterProviderInfo& provider : kCounterProviders) {
        if (_stricmp(provider.wmiClass, className) == 0) {
            row = &provider;  // the last match wins
        }
    }
    if (row == nullptr) {
        kov_wmi::Report(callback, 2, kFunction, __LINE__, L"Unknown class name: [%s]",
                        kov_wmi::Widen(className).c_str());
        return false;
    }

    Registry cimom;
    if (!cimom.Open("SOFTWARE\\Microsoft\\WBEM\\CIMOM", true)) {
        return true;
    }
    std::vector<std::wstring> mofs;
    if (!cimom.ReadMultiString(L"Autorecover MOFs", mofs)) {
        cimom.Close();
        return true;
    }
    const std::wstring mofFile = kov_wmi::UpperCased(kov_wmi::Widen(row->mofFile));
    std::vector<std::wstring> kept;
    for (const std::wstring& mof : mofs) {
        if (kov_wmi::UpperCased(mof).find(mofFile) == std::wstring::npos) {
            kept.push_back(mof);
        }
    }
    bool result = true;
    if (kept.size() < mofs.size()) {
        result = cimom.WriteMultiString(L"Autorecover MOFs", kept);
    }
    cimom.Close();
    return result;
}
