#include "common/environment/module_version.h"

#include <windows.h>

#include <cwchar>
#include <memory>
#include <new>

namespace {

constexpr DWORD kPathUnits = MAX_PATH;

// The version resource of one file; false when it has none.
bool ReadFixedVersion(const wchar_t* file, ModuleFileVersion& version) noexcept
{
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(file, &ignored);
    if (size == 0) {
        return false;
    }
    std::unique_ptr<BYTE[]> data(new (std::nothrow) BYTE[size]);
    if (!data || !::GetFileVersionInfoW(file, 0, size, data.get())) {
        return false;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!::VerQueryValueW(data.get(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) ||
        fixed == nullptr || fixedSize < sizeof(VS_FIXEDFILEINFO)) {
        return false;
    }
    version.major = HIWORD(fixed->dwFileVersionMS);
    version.minor = LOWORD(fixed->dwFileVersionMS);
    version.build = HIWORD(fixed->dwFileVersionLS);
    version.revision = LOWORD(fixed->dwFileVersionLS);
    return true;
}

}  // namespace

bool GetModuleFileVersion(const wchar_t* file, ModuleFileVersion& version) noexcept
{
    version = ModuleFileVersion{};
    if (file == nullptr || *file == L'\0') {
        return false;
    }
    // A loaded module is the file the process really uses.
    wchar_t loadedPath[kPathUnits] = {};
    const wchar_t* path = file;
    if (const HMODULE module = ::GetModuleHandleW(file)) {
        const DWORD length = ::GetModuleFileNameW(module, loadedPath, kPathUnits);
        if (length > 0 && length < kPathUnits) {
            path = loadedPath;
        }
    }
    if (ReadFixedVersion(path, version)) {
        return true;
    }
    if (std::wcschr(file, L'%') != nullptr) {
        std::wstring expanded;
        if (ExpandPath(file, expanded) && ReadFixedVersion(expanded.c_str(), version)) {
            return true;
        }
    }
    version = ModuleFileVersion{};
    return false;
}

bool ExpandPath(const wchar_t* path, std::wstring& expanded) noexcept
{
    try {
        expanded.clear();
        if (path == nullptr || *path == L'\0') {
            return false;
        }
        std::wstring text = path;
        if (text.find(L'%') != std::wstring::npos) {
            wchar_t buffer[kPathUnits] = {};
            const DWORD length = ::ExpandEnvironmentStringsW(path, buffer, kPathUnits);
            // The length counts the terminator; a result that does not fit
            // is not a usable path.
            if (length == 0 || length > kPathUnits) {
                return false;
            }
            text = buffer;
        }
        if (!text.empty() && text[0] == L'.') {
            wchar_t full[kPathUnits] = {};
            const DWORD length = ::GetFullPathNameW(text.c_str(), kPathUnits, full, nullptr);
            if (length == 0 || length >= kPathUnits) {
                return false;
            }
            text = full;
        }
        expanded = std::move(text);
        return true;
    } catch (...) {
        return false;
    }
}
