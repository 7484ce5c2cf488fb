#pragma once

// Fixed machine-wide keys and values the toolkit works on, prepared by a
// test and put back as they were when it ends. Tests that use them hold the
// "machine_keys" resource lock.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

class MachineKeys {
public:
    MachineKeys() = default;
    ~MachineKeys();
    MachineKeys(const MachineKeys&) = delete;
    MachineKeys& operator=(const MachineKeys&) = delete;

    // Creates `path` under HKEY_LOCAL_MACHINE; the first key of it that did
    // not exist is removed, with everything below, at the end.
    void Create(const std::string& path);
    void SetString(const std::string& path, const char* name, const std::string& text);
    void SetDword(const std::string& path, const char* name, DWORD value);
    // A value of a key that exists already, removed or put back at the end.
    void SetForeignValue(const std::string& path, const char* name, DWORD type, const std::string& bytes);

    static bool Exists(const std::string& path);
    static bool HasValue(const std::string& path, const char* name);

private:
    struct SavedValue {
        std::string path;
        std::string name;
        bool existed;
        DWORD type;
        std::string bytes;
    };
    std::vector<std::string> created_;
    std::vector<SavedValue> saved_;
};

// A REG_MULTI_SZ value's bytes from UTF-16 strings.
std::string MultiString(const std::vector<std::wstring>& strings);
