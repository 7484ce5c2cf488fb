#include "scoped_temp_folder.h"

#include <windows.h>

#include <atomic>
#include <stdexcept>

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(path.c_str());
}

ScopedTempFolder::ScopedTempFolder()
{
    static std::atomic<unsigned> serial{0};
    wchar_t base[MAX_PATH + 1] = {};
    if (::GetTempPathW(MAX_PATH, base) == 0) {
        throw std::runtime_error("GetTempPathW failed");
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::wstring candidate = std::wstring(base) + L"rpc-test-" +
                                 std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(serial++);
        if (::CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a private temp folder");
}

ScopedTempFolder::~ScopedTempFolder()
{
    RemoveTree(path_);
}
