#pragma once

// One registry key: a root, a path below it (ANSI) and, while open, the key
// handle. Methods answer bool and keep the status of the last failed system
// call in LastError(); failures of the object's own state (not open, already
// open, wrong value type, missing buffer) leave it at 0. Nothing throws.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "common/util/unique_resource.h"

class Registry {
public:
    // viewSelector 1 adds KEY_WOW64_32KEY to every open and create.
    static constexpr int kView32 = 1;

    explicit Registry(bool keepValueNames = false) noexcept;  // HKLM, empty path
    Registry(int view, bool keepValueNames) noexcept;         // HKLM, empty path
    Registry(const char* path, bool currentUser = false, bool keepValueNames = false) noexcept;
    Registry(const wchar_t* path, bool currentUser = false, bool keepValueNames = false) noexcept;
    Registry(HKEY root, const char* path, bool keepValueNames = false) noexcept;
    Registry(HKEY root, const wchar_t* path, bool keepValueNames = false) noexcept;
    virtual ~Registry();

    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Key operations. The path-setting forms work only on a closed object.
    bool Open(bool readWrite = false) noexcept;
    bool Open(const char* path, bool readWrite = false) noexcept;
    bool Open(const wchar_t* path, bool readWrite = false) noexcept;
    bool Create() noexcept;
    bool Create(const char* path) noexcept;
    bool Create(const wchar_t* path) noexcept;
    void Close() noexcept;
    bool IsOpen() const noexcept { return static_cast<bool>(key_); }
    // Removes the key and everything below it; a missing key counts as deleted.
    bool DeleteKey() noexcept;
    bool DeleteKey(const char* path) noexcept;
    bool DeleteKey(const wchar_t* path) noexcept;
    // Moves sub-key oldName of the open key to the new sub-key newName. The
    // old key goes only once the new one is verified to hold the same tree.
    bool RenameKey(const char* oldName, const char* newName) noexcept;
    bool RenameKey(const wchar_t* oldName, const wchar_t* newName) noexcept;
    // Points `other` at this key's sub-key at `index` and opens it read-only.
    bool OpenSubKey(DWORD index, Registry& other) noexcept;
    bool SubKeyCount(std::uint64_t* count) noexcept;
    bool ValueCount(std::uint64_t* count) noexcept;
    // Full path: Path() and the name joined by one backslash (the name alone
    // when the path is empty), cut to the buffer and always terminated.
    bool EnumSubKey(DWORD index, char* fullPath, std::size_t fullPathSize, char* name = nullptr,
                    std::size_t nameSize = 0) noexcept;
    bool EnumSubKey(DWORD index, wchar_t* fullPath, std::size_t fullPathSize,
                    wchar_t* name = nullptr, std::size_t nameSize = 0) noexcept;
    bool SubKeyPath(const char* name, char* buffer, std::size_t size) const noexcept;
    bool SubKeyPath(const wchar_t* name, wchar_t* buffer, std::size_t size) const noexcept;
    const char* Path() const noexcept;      // null when empty
    const char* LeafName() const noexcept;  // null when the path is empty
    HKEY Root() const noexcept { return root_; }
    LONG LastError() const noexcept { return lastError_; }

    // Value operations; an empty or null name is the key's default value.
    bool WriteString(const char* name, const char* value) noexcept;
    bool WriteString(const wchar_t* name, const wchar_t* value) noexcept;

    // REG_DWORD. DWORD and LONG have overloads of their own so that no
    // argument type is ambiguous; pointers would quietly become bool.
    bool WriteDword(const char* name, std::int32_t value) noexcept;
    bool WriteDword(const char* name, std::uint32_t value) noexcept;
    bool WriteDword(const char* name, long value) noexcept;
    bool WriteDword(const char* name, unsigned long value) noexcept;
    bool WriteDword(const char* name, bool value) noexcept;  // stored as 0 or 1
    bool WriteDword(const wchar_t* name, std::int32_t value) noexcept;
    bool WriteDword(const wchar_t* name, std::uint32_t value) noexcept;
    bool WriteDword(const wchar_t* name, long value) noexcept;
    bool WriteDword(const wchar_t* name, unsigned long value) noexcept;
    bool WriteDword(const wchar_t* name, bool value) noexcept;
    template <typename T>
    bool WriteDword(const char* name, T* value) = delete;
    template <typename T>
    bool WriteDword(const wchar_t* name, T* value) = delete;

    bool WriteQword(const char* name, std::uint64_t value) noexcept;
    bool WriteQword(const wchar_t* name, std::uint64_t value) noexcept;
    bool WriteBinary(const char* name, const void* data, DWORD size) noexcept;
    bool WriteBinary(const wchar_t* name, const void* data, DWORD size) noexcept;
    // An empty string in the list ends it for readers that stop at "\0\0".
    bool WriteMultiString(const char* name, const std::vector<std::string>& values) noexcept;
    bool WriteMultiString(const wchar_t* name, const std::vector<std::wstring>& values) noexcept;
    bool DeleteValue(const char* name) noexcept;
    bool DeleteValue(const wchar_t* name) noexcept;
    // The value's data size in bytes; does not consult the value-name set.
    bool ValueSize(const char* name, DWORD& size) noexcept;
    bool ValueSize(const wchar_t* name, DWORD& size) noexcept;

    // REG_SZ as it is, REG_EXPAND_SZ expanded; cut to sizeInChars - 1 and
    // terminated. Values larger than max(512, sizeInChars) fail with
    // ERROR_MORE_DATA.
    bool ReadString(const char* name, char* buffer, DWORD sizeInChars) noexcept;
    bool ReadString(const wchar_t* name, wchar_t* buffer, DWORD sizeInChars) noexcept;
    // When the read fails: defaultText, cut to sizeInChars - 1, zero-padded.
    void ReadString(const char* name, char* buffer, DWORD sizeInChars,
                    const char* defaultText) noexcept;
    void ReadString(const wchar_t* name, wchar_t* buffer, DWORD sizeInChars,
                    const wchar_t* defaultText) noexcept;

    // REG_DWORD only. The forms with a default store it when the read fails.
    bool ReadDword(const char* name, std::int32_t& value) noexcept;
    bool ReadDword(const char* name, std::uint32_t& value) noexcept;
    bool ReadDword(const char* name, long& value) noexcept;
    bool ReadDword(const char* name, unsigned long& value) noexcept;
    bool ReadDword(const char* name, bool& value) noexcept;  // non-zero is true
    bool ReadDword(const wchar_t* name, std::int32_t& value) noexcept;
    bool ReadDword(const wchar_t* name, std::uint32_t& value) noexcept;
    bool ReadDword(const wchar_t* name, long& value) noexcept;
    bool ReadDword(const wchar_t* name, unsigned long& value) noexcept;
    bool ReadDword(const wchar_t* name, bool& value) noexcept;
    bool ReadDword(const char* name, std::int32_t& value, std::int32_t defaultValue) noexcept;
    bool ReadDword(const char* name, std::uint32_t& value, std::uint32_t defaultValue) noexcept;
    bool ReadDword(const char* name, long& value, long defaultValue) noexcept;
    bool ReadDword(const char* name, unsigned long& value, unsigned long defaultValue) noexcept;
    bool ReadDword(const char* name, bool& value, bool defaultValue) noexcept;
    bool ReadDword(const wchar_t* name, std::int32_t& value, std::int32_t defaultValue) noexcept;
    bool ReadDword(const wchar_t* name, std::uint32_t& value, std::uint32_t defaultValue) noexcept;
    bool ReadDword(const wchar_t* name, long& value, long defaultValue) noexcept;
    bool ReadDword(const wchar_t* name, unsigned long& value, unsigned long defaultValue) noexcept;
    bool ReadDword(const wchar_t* name, bool& value, bool defaultValue) noexcept;

    // REG_QWORD only; the name must not be null.
    bool ReadQword(const char* name, std::uint64_t& value) noexcept;
    bool ReadQword(const wchar_t* name, std::uint64_t& value) noexcept;
    // REG_BINARY only. size: the buffer's capacity in, the data size out.
    // Data larger than the buffer is never copied: ERROR_MORE_DATA, and size
    // carries the size needed.
    bool ReadBinary(const char* name, void* buffer, DWORD& size) noexcept;
    bool ReadBinary(const wchar_t* name, void* buffer, DWORD& size) noexcept;
    // REG_MULTI_SZ only. Appends the non-empty strings, each cut to 511
    // characters.
    bool ReadMultiString(const char* name, std::vector<std::string>& values) noexcept;
    bool ReadMultiString(const wchar_t* name, std::vector<std::wstring>& values) noexcept;

    // Enumeration; neither consults the value-name set.
    bool EnumValueName(DWORD index, char* name, DWORD sizeInChars) noexcept;
    bool EnumValueName(DWORD index, wchar_t* name, DWORD sizeInChars) noexcept;
    // dataSize: the data buffer's capacity in, the data size out. A zero byte
    // follows the data when the buffer has room for it.
    bool EnumValue(DWORD index, char* name, DWORD nameSizeInChars, DWORD* type, void* data,
                   DWORD& dataSize) noexcept;
    bool EnumValue(DWORD index, wchar_t* name, DWORD nameSizeInChars, DWORD* type, void* data,
                   DWORD& dataSize) noexcept;

    // The names of the open key's values, taken when it is opened (with
    // keepValueNames). Values written or deleted later are not reflected.
    void LoadValueNames() noexcept;
    bool HasValueName(const char* name) const noexcept;  // case-insensitive
    bool HasValueName(const wchar_t* name) const noexcept;

private:
    struct NoCaseLess {
        using is_transparent = void;
        bool operator()(const std::string& a, const std::string& b) const noexcept;
        bool operator()(const std::string& a, const char* b) const noexcept;
        bool operator()(const char* a, const std::string& b) const noexcept;
    };

    REGSAM ViewFlag() const noexcept;
    bool SetPath(const char* path) noexcept;
    bool SetPath(const wchar_t* path) noexcept;
    bool OpenKey(bool readWrite) noexcept;
    bool CreateKey(bool loadNames) noexcept;
    bool DeleteTree() noexcept;
    bool RenameSubKey(const wchar_t* oldName, const wchar_t* newName) noexcept;
    bool CopyTree(HKEY from, HKEY to) noexcept;
    bool JoinSubKeyPath(const char* name, std::string& fullPath) const noexcept;

    template <typename Char>
    bool CanRead(const Char* name) noexcept;
    template <typename Char>
    bool WriteValue(const Char* name, DWORD type, const void* data, DWORD size) noexcept;
    template <typename Char>
    bool ReadFixed(const Char* name, DWORD type, void* value, DWORD size) noexcept;
    template <typename Char, typename T>
    bool ReadDwordAs(const Char* name, T& value) noexcept;
    template <typename Char>
    bool ReadStringOf(const Char* name, Char* buffer, DWORD sizeInChars) noexcept;
    template <typename Char>
    bool ReadBinaryOf(const Char* name, void* buffer, DWORD& size) noexcept;
    template <typename Char>
    bool ReadMultiStringOf(const Char* name, std::vector<std::basic_string<Char>>& values) noexcept;
    template <typename Char>
    bool WriteMultiStringOf(const Char* name,
                            const std::vector<std::basic_string<Char>>& values) noexcept;
    template <typename Char>
    bool ValueSizeOf(const Char* name, DWORD& size) noexcept;
    template <typename Char>
    bool EnumValueOf(DWORD index, Char* name, DWORD nameSizeInChars, DWORD* type, void* data,
                     DWORD* dataSize) noexcept;

    std::string path_;
    HKEY root_;
    unique_hkey key_;
    bool keepValueNames_;
    std::int32_t viewSelector_;
    unique_file token_;  // held only while RenameKey adjusts its privileges
    std::set<std::string, NoCaseLess> valueNames_;
    LONG lastError_;
};
