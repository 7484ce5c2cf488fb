#pragma once

// A private folder under the system TEMP folder, removed with everything in
// it when the test ends.

#include <string>

class ScopedTempFolder {
public:
    ScopedTempFolder();
    ~ScopedTempFolder();
    ScopedTempFolder(const ScopedTempFolder&) = delete;
    ScopedTempFolder& operator=(const ScopedTempFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    // Path() joined with a relative name by one backslash.
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

void RemoveTree(const std::wstring& path);
