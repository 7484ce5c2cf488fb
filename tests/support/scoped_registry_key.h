#pragma once

// A private registry key for one test, "Software\RouterClientTests\<pid>-<n>"
// under a root (in the given view), removed with everything below it when
// the test ends. Its helpers reach the registry directly, so that tests can
// prepare and inspect keys without the code under test.

#include <windows.h>

#include <map>
#include <optional>
#include <string>

#include "common/util/unique_resource.h"

class ScopedRegistryKey {
public:
    struct RawValue {
        DWORD type = REG_NONE;
        std::string bytes;
        bool operator==(const RawValue& other) const
        {
            return type == other.type && bytes == other.bytes;
        }
    };
    // Every key below a path (as "\\" for the path itself, "Sub\\Nested\\"
    // below it) and every value (as "Sub\\Nested\\=name") with type and data.
    using Tree = std::map<std::string, RawValue>;

    explicit ScopedRegistryKey(HKEY root = HKEY_CURRENT_USER, REGSAM view = 0);
    ~ScopedRegistryKey();
    ScopedRegistryKey(const ScopedRegistryKey&) = delete;
    ScopedRegistryKey& operator=(const ScopedRegistryKey&) = delete;

    HKEY Root() const { return root_; }
    // The private key, open with KEY_ALL_ACCESS.
    HKEY Key() const { return key_.get(); }
    // Below Root(), without a trailing backslash.
    const std::string& Path() const { return path_; }
    // Path() joined with a relative path by one backslash.
    std::string operator/(const std::string& relative) const { return path_ + "\\" + relative; }

    // Relative paths below the private key; "" is the key itself.
    void CreateSubKey(const std::string& relative) const;
    bool Exists(const std::string& relative) const;
    void SetValue(const std::string& relative, const char* name, DWORD type, const void* data,
                  DWORD size) const;
    void SetString(const std::string& relative, const char* name, const std::string& text,
                   DWORD type = REG_SZ) const;
    void SetDword(const std::string& relative, const char* name, DWORD value) const;
    // The data as the ANSI or the UTF-16 calls return it; none when missing.
    std::optional<RawValue> Value(const std::string& relative, const char* name) const;
    std::optional<RawValue> WideValue(const std::string& relative, const wchar_t* name) const;
    Tree Snapshot(const std::string& relative) const;

private:
    unique_hkey OpenRelative(const std::string& relative, REGSAM rights) const;

    HKEY root_;
    REGSAM view_;
    std::string path_;
    unique_hkey key_;
};
