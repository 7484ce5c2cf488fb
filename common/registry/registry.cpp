#include "registry.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <limits>
#include <string>

namespace {

constexpr const char* kHiveFile = "KOVTempRegistryKeys";
constexpr REGSAM kReadRights = KEY_READ;
constexpr REGSAM kWriteRights = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
constexpr DWORD kStackBytes = 512;
constexpr DWORD kNameUnits = 261;
constexpr std::size_t kMultiStringLimit = 511;

// The ANSI and UTF-16 forms of the calls, chosen by the text type.
LONG QueryValue(HKEY key, const char* name, DWORD* type, void* data, DWORD* size) noexcept
{
    return ::RegQueryValueExA(key, name, nullptr, type, static_cast<BYTE*>(data), size);
}
LONG QueryValue(HKEY key, const wchar_t* name, DWORD* type, void* data, DWORD* size) noexcept
{
    return ::RegQueryValueExW(key, name, nullptr, type, static_cast<BYTE*>(data), size);
}
LONG SetValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size) noexcept
{
    return ::RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
}
LONG SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) noexcept
{
    return ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
}
LONG RemoveValue(HKEY key, const char* name) noexcept { return ::RegDeleteValueA(key, name); }
LONG RemoveValue(HKEY key, const wchar_t* name) noexcept { return ::RegDeleteValueW(key, name); }
LONG EnumValueAt(HKEY key, DWORD index, char* name, DWORD* chars, DWORD* type, void* data,
                 DWORD* size) noexcept
{
    return ::RegEnumValueA(key, index, name, chars, nullptr, type, static_cast<BYTE*>(data), size);
}
LONG EnumValueAt(HKEY key, DWORD index, wchar_t* name, DWORD* chars, DWORD* type, void* data,
                 DWORD* size) noexcept
{
    return ::RegEnumValueW(key, index, name, chars, nullptr, type, static_cast<BYTE*>(data), size);
}
LONG EnumKeyAt(HKEY key, DWORD index, char* name, DWORD* chars) noexcept
{
    return ::RegEnumKeyExA(key, index, name, chars, nullptr, nullptr, nullptr, nullptr);
}
LONG EnumKeyAt(HKEY key, DWORD index, wchar_t* name, DWORD* chars) noexcept
{
    return ::RegEnumKeyExW(key, index, name, chars, nullptr, nullptr, nullptr, nullptr);
}
DWORD Expand(const char* text, char* buffer, DWORD size) noexcept
{
    return ::ExpandEnvironmentStringsA(text, buffer, size);
}
DWORD Expand(const wchar_t* text, wchar_t* buffer, DWORD size) noexcept
{
    return ::ExpandEnvironmentStringsW(text, buffer, size);
}

template <typename Char>
std::size_t Length(const Char* text) noexcept
{
    return text != nullptr ? std::char_traits<Char>::length(text) : 0;
}

// Copies at most size - 1 characters and terminates.
template <typename Char>
void CopyCut(Char* buffer, std::size_t size, const Char* text) noexcept
{
    std::size_t used = 0;
    for (; text != nullptr && text[used] != Char() && used + 1 < size; ++used) {
        buffer[used] = text[used];
    }
    buffer[used] = Char();
}

// As CopyCut, with the rest of the buffer zeroed.
template <typename Char>
void CopyPadded(Char* buffer, std::size_t size, const Char* text) noexcept
{
    CopyCut(buffer, size, text);
    for (std::size_t i = Length(buffer); i < size; ++i) {
        buffer[i] = Char();
    }
}

// path and name joined by one backslash; the name alone for an empty path.
template <typename Char>
void JoinCut(Char* buffer, std::size_t size, const Char* path, const Char* name) noexcept
{
    std::size_t used = 0;
    const auto append = [&](const Char* text) {
        for (; *text != Char() && used + 1 < size; ++text) {
            buffer[used++] = *text;
        }
    };
    const std::size_t pathLength = Length(path);
    append(path);
    if (pathLength > 0 && path[pathLength - 1] != Char('\\')) {
        const Char separator[] = {Char('\\'), Char()};
        append(separator);
    }
    append(name);
    buffer[used] = Char();
}

LONG ToAnsi(const wchar_t* text, std::string& out) noexcept
{
    if (text == nullptr || *text == L'\0') {
        out.clear();
        return ERROR_SUCCESS;
    }
    const int bytes = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return static_cast<LONG>(::GetLastError());
    }
    try {
        std::string converted(static_cast<std::size_t>(bytes), '\0');
        if (::WideCharToMultiByte(CP_ACP, 0, text, -1, &converted[0], bytes, nullptr, nullptr) !=
            bytes) {
            return static_cast<LONG>(::GetLastError());
        }
        converted.resize(static_cast<std::size_t>(bytes) - 1);
        out.swap(converted);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

LONG ToWide(const char* text, std::wstring& out) noexcept
{
    if (text == nullptr || *text == '\0') {
        out.clear();
        return ERROR_SUCCESS;
    }
    const int units = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) {
        return static_cast<LONG>(::GetLastError());
    }
    try {
        std::wstring converted(static_cast<std::size_t>(units), L'\0');
        if (::MultiByteToWideChar(CP_ACP, 0, text, -1, &converted[0], units) != units) {
            return static_cast<LONG>(::GetLastError());
        }
        converted.resize(static_cast<std::size_t>(units) - 1);
        out.swap(converted);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

// Data read or built in place: StackUnits on the stack, larger sizes on the
// heap. One spare unit always follows the capacity for a terminator.
template <typename T, std::size_t StackUnits>
class StackOrHeap {
public:
    bool Reserve(std::size_t units) noexcept
    {
        if (units <= StackUnits) {
            return true;
        }
        if (units >= std::numeric_limits<DWORD>::max() / sizeof(T)) {
            return false;
        }
        heap_.reset(static_cast<T*>(::LocalAlloc(LMEM_ZEROINIT, (units + 1) * sizeof(T))));
        if (!heap_) {
            return false;
        }
        data_ = heap_.get();
        capacity_ = units;
        return true;
    }
    T* Data() noexcept { return data_; }
    std::size_t Capacity() const noexcept { return capacity_; }
    DWORD CapacityBytes() const noexcept { return static_cast<DWORD>(capacity_ * sizeof(T)); }

private:
    T stack_[StackUnits + 1] = {};
    unique_local<T*> heap_;
    T* data_ = stack_;
    std::size_t capacity_ = StackUnits;
};

// The privilege state to put back once RenameKey is done.
struct PrivilegeChange {
    bool changed = false;
    TOKEN_PRIVILEGES previous = {};
};

// A privilege the token does not hold, or cannot enable, stays off.
PrivilegeChange EnablePrivilege(HANDLE token, const char* name) noexcept
{
    PrivilegeChange change;
    TOKEN_PRIVILEGES wanted = {};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!::LookupPrivilegeValueA(nullptr, name, &wanted.Privileges[0].Luid)) {
        return change;
    }
    DWORD size = 0;
    if (!::AdjustTokenPrivileges(token, FALSE, &wanted, sizeof(change.previous), &change.previous,
                                 &size)) {
        return change;
    }
    change.changed = ::GetLastError() != ERROR_NOT_ALL_ASSIGNED;
    return change;
}

void RestorePrivilege(HANDLE token, PrivilegeChange& change) noexcept
{
    if (change.changed) {
        // Nothing better can be done when the old state cannot be put back.
        (void)::AdjustTokenPrivileges(token, FALSE, &change.previous, 0, nullptr, nullptr);
    }
}

struct KeyCounts {
    DWORD subKeys = 0;
    DWORD maxSubKeyChars = 0;
    DWORD values = 0;
    DWORD maxValueNameChars = 0;
    DWORD maxDataBytes = 0;
};

bool QueryCounts(HKEY key, KeyCounts& counts) noexcept
{
    return ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &counts.subKeys,
                              &counts.maxSubKeyChars, nullptr, &counts.values,
                              &counts.maxValueNameChars, &counts.maxDataBytes, nullptr,
                              nullptr) == ERROR_SUCCESS;
}

// True when `to` holds exactly the values and, recursively, the sub-keys of
// `from`. Any failure to read counts as a difference.
bool SameTree(HKEY from, HKEY to) noexcept
{
    try {
        KeyCounts source;
        KeyCounts target;
        if (!QueryCounts(from, source) || !QueryCounts(to, target) ||
            source.subKeys != target.subKeys || source.values != target.values) {
            return false;
        }
        std::wstring name(source.maxValueNameChars + 1, L'\0');
        std::string data(source.maxDataBytes + 1, '\0');
        std::string copy(source.maxDataBytes + 1, '\0');
        for (DWORD index = 0; index < source.values; ++index) {
            DWORD chars = static_cast<DWORD>(name.size());
            DWORD type = 0;
            DWORD bytes = static_cast<DWORD>(data.size());
            if (EnumValueAt(from, index, &name[0], &chars, &type, &data[0], &bytes) !=
                ERROR_SUCCESS) {
                return false;
            }
            DWORD copyType = 0;
            DWORD copyBytes = static_cast<DWORD>(copy.size());
            if (QueryValue(to, name.c_str(), &copyType, &copy[0], &copyBytes) != ERROR_SUCCESS ||
                copyType != type || copyBytes != bytes ||
                std::memcmp(data.data(), copy.data(), bytes) != 0) {
                return false;
            }
        }
        name.assign(source.maxSubKeyChars + 1, L'\0');
        for (DWORD index = 0; index < source.subKeys; ++index) {
            DWORD chars = static_cast<DWORD>(name.size());
            if (EnumKeyAt(from, index, &name[0], &chars) != ERROR_SUCCESS) {
                return false;
            }
            unique_hkey sourceChild;
            unique_hkey targetChild;
            if (::RegOpenKeyExW(from, name.c_str(), 0, KEY_READ, sourceChild.put()) !=
                    ERROR_SUCCESS ||
                ::RegOpenKeyExW(to, name.c_str(), 0, KEY_READ, targetChild.put()) !=
                    ERROR_SUCCESS ||
                !SameTree(sourceChild.get(), targetChild.get())) {
                return false;
            }
        }
        return true;
    } catch (...) {
        return false;
    }
}

// newName names a key inside oldName: copying old into new would never end.
bool IsInside(const wchar_t* newName, const wchar_t* oldName) noexcept
{
    const std::size_t length = Length(oldName);
    return _wcsnicmp(newName, oldName, length) == 0 && newName[length] == L'\\';
}

template <typename T>
bool ReadDwordOr(Registry& registry, const char* name, T& value, T defaultValue) noexcept
{
    if (registry.ReadDword(name, value)) {
        return true;
    }
    value = defaultValue;
    return false;
}

template <typename T>
bool ReadDwordOr(Registry& registry, const wchar_t* name, T& value, T defaultValue) noexcept
{
    if (registry.ReadDword(name, value)) {
        return true;
    }
    value = defaultValue;
    return false;
}

}  // namespace

bool Registry::NoCaseLess::operator()(const std::string& a, const std::string& b) const noexcept
{
    return _stricmp(a.c_str(), b.c_str()) < 0;
}
bool Registry::NoCaseLess::operator()(const std::string& a, const char* b) const noexcept
{
    return _stricmp(a.c_str(), b) < 0;
}
bool Registry::NoCaseLess::operator()(const char* a, const std::string& b) const noexcept
{
    return _stricmp(a, b.c_str()) < 0;
}

Registry::Registry(bool keepValueNames) noexcept : Registry(0, keepValueNames) {}

Registry::Registry(int view, bool keepValueNames) noexcept
    : root_(HKEY_LOCAL_MACHINE),
      keepValueNames_(keepValueNames),
      viewSelector_(view),
      lastError_(0)
{
}

Registry::Registry(const char* path, bool currentUser, bool keepValueNames) noexcept
    : Registry(currentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, path, keepValueNames)
{
}

Registry::Registry(const wchar_t* path, bool currentUser, bool keepValueNames) noexcept
    : Registry(currentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, path, keepValueNames)
{
}

// A path that cannot be stored leaves no root: the object then never
// reaches a key other than the one it was given.
Registry::Registry(HKEY root, const char* path, bool keepValueNames) noexcept
    : Registry(0, keepValueNames)
{
    root_ = root;
    if (!SetPath(path)) {
        root_ = nullptr;
    }
}

Registry::Registry(HKEY root, const wchar_t* path, bool keepValueNames) noexcept
    : Registry(0, keepValueNames)
{
    root_ = root;
    if (!SetPath(path)) {
        root_ = nullptr;
    }
}

Registry::~Registry()
{
    Close();
    path_.clear();
    valueNames_.clear();
}

REGSAM Registry::ViewFlag() const noexcept
{
    return viewSelector_ == kView32 ? KEY_WOW64_32KEY : 0;
}

bool Registry::SetPath(const char* path) noexcept
{
    try {
        std::string copy(path != nullptr ? path : "");
        path_.swap(copy);
        return true;
    } catch (...) {
        lastError_ = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
}

bool Registry::SetPath(const wchar_t* path) noexcept
{
    std::string converted;
    const LONG status = ToAnsi(path, converted);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    path_.swap(converted);
    return true;
}

bool Registry::OpenKey(bool readWrite) noexcept
{
    const REGSAM rights = (readWrite ? kWriteRights : kReadRights) | ViewFlag();
    const LONG status = ::RegOpenKeyExA(root_, path_.c_str(), 0, rights, key_.put());
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    if (keepValueNames_) {
        LoadValueNames();
    }
    return true;
}

bool Registry::Open(bool readWrite) noexcept
{
    lastError_ = 0;
    if (key_) {
        return true;
    }
    return OpenKey(readWrite);
}

bool Registry::Open(const char* path, bool readWrite) noexcept
{
    lastError_ = 0;
    if (key_) {
        return false;
    }
    return SetPath(path) && OpenKey(readWrite);
}

bool Registry::Open(const wchar_t* path, bool readWrite) noexcept
{
    lastError_ = 0;
    if (key_) {
        return false;
    }
    return SetPath(path) && OpenKey(readWrite);
}

bool Registry::CreateKey(bool loadNames) noexcept
{
    DWORD disposition = 0;
    const LONG status =
        ::RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_ALL_ACCESS | ViewFlag(), nullptr, key_.put(), &disposition);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    if (loadNames && keepValueNames_ && disposition == REG_OPENED_EXISTING_KEY) {
        LoadValueNames();
    }
    return true;
}

bool Registry::Create() noexcept
{
    lastError_ = 0;
    if (key_) {
        return true;
    }
    return CreateKey(true);
}

bool Registry::Create(const char* path) noexcept
{
    lastError_ = 0;
    if (key_) {
        return false;
    }
    return SetPath(path) && CreateKey(false);
}

bool Registry::Create(const wchar_t* path) noexcept
{
    lastError_ = 0;
    if (key_) {
        return false;
    }
    return SetPath(path) && CreateKey(false);
}

void Registry::Close() noexcept
{
    // reset() keeps the thread's last error; lastError_ is not touched.
    key_.reset();
}

bool Registry::DeleteTree() noexcept
{
    // An empty path names the root itself: never wipe a whole hive.
    if (path_.empty()) {
        return false;
    }
    {
        unique_hkey opened;
        DWORD count = 0;
        // When the key cannot be opened or counted, the deletion below
        // reports what is wrong.
        if (::RegOpenKeyExA(root_, path_.c_str(), 0, kReadRights | ViewFlag(), opened.put()) ==
                ERROR_SUCCESS &&
            ::RegQueryInfoKeyA(opened.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
            count > 0) {
            Registry child(viewSelector_, false);
            child.root_ = root_;
            // From the highest index down, so that the lower ones stay put.
            for (DWORD index = count; index-- > 0;) {
                char name[kNameUnits] = {};
                DWORD chars = kNameUnits;
                std::string childPath;
                if (EnumKeyAt(opened.get(), index, name, &chars) != ERROR_SUCCESS ||
                    !JoinSubKeyPath(name, childPath)) {
                    continue;
                }
                if (!child.DeleteKey(childPath.c_str())) {
                    break;
                }
            }
        }
    }
    const LONG status = ::RegDeleteKeyExA(root_, path_.c_str(), ViewFlag(), 0);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    lastError_ = status;
    return false;
}

bool Registry::DeleteKey() noexcept
{
    lastError_ = 0;
    if (key_) {
        return false;
    }
    return DeleteTree();
}

bool Registry::DeleteKey(const char* path) noexcept
{
    if (key_) {
        return false;
    }
    lastError_ = 0;
    return SetPath(path) && DeleteTree();
}

bool Registry::DeleteKey(const wchar_t* path) noexcept
{
    if (key_) {
        return false;
    }
    lastError_ = 0;
    return SetPath(path) && DeleteTree();
}

bool Registry::RenameKey(const char* oldName, const char* newName) noexcept
{
    lastError_ = 0;
    if (!key_ || oldName == nullptr || newName == nullptr) {
        return false;
    }
    std::wstring oldWide;
    std::wstring newWide;
    LONG status = ToWide(oldName, oldWide);
    if (status == ERROR_SUCCESS) {
        status = ToWide(newName, newWide);
    }
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    return RenameSubKey(oldWide.c_str(), newWide.c_str());
}

bool Registry::RenameKey(const wchar_t* oldName, const wchar_t* newName) noexcept
{
    lastError_ = 0;
    if (!key_ || oldName == nullptr || newName == nullptr) {
        return false;
    }
    return RenameSubKey(oldName, newName);
}

bool Registry::RenameSubKey(const wchar_t* oldName, const wchar_t* newName) noexcept
{
    // An empty name is the open key itself.
    if (*oldName == L'\0' || *newName == L'\0' || IsInside(newName, oldName)) {
        return false;
    }
    unique_hkey newKey;
    DWORD disposition = 0;
    LONG status = ::RegCreateKeyExW(key_.get(), newName, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS, nullptr, newKey.put(), &disposition);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    if (disposition != REG_CREATED_NEW_KEY) {
        return false;
    }
    bool copied = false;
    {
        unique_hkey oldKey;
        status = ::RegOpenKeyExW(key_.get(), oldName, 0, KEY_ALL_ACCESS, oldKey.put());
        if (status != ERROR_SUCCESS) {
            lastError_ = status;
        } else {
            copied = CopyTree(oldKey.get(), newKey.get());
        }
    }
    newKey.reset();
    if (!copied) {
        // Only the key this call created goes; a failure leaves an empty or
        // partial copy, never a loss.
        (void)::SHDeleteKeyW(key_.get(), newName);
        return false;
    }
    // The copy is verified: a failure to remove the old key leaves both.
    (void)::SHDeleteKeyW(key_.get(), oldName);
    return true;
}

bool Registry::CopyTree(HKEY from, HKEY to) noexcept
{
    HANDLE token = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, FALSE,
                           &token) &&
        !::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                            &token)) {
        return false;
    }
    token_.reset(token);
    PrivilegeChange backup = EnablePrivilege(token_.get(), "SeBackupPrivilege");
    PrivilegeChange restore = EnablePrivilege(token_.get(), "SeRestorePrivilege");
    const LONG saveStatus = ::RegSaveKeyA(from, kHiveFile, nullptr);
    LONG restoreStatus = ERROR_SUCCESS;
    if (saveStatus == ERROR_SUCCESS) {
        restoreStatus = ::RegRestoreKeyA(to, kHiveFile, REG_FORCE_RESTORE);
    }
    // Removed whatever happened: a refused save can still leave an empty
    // file. When there is none, or it is held open, nothing more can be done.
    (void)::DeleteFileA(kHiveFile);
    RestorePrivilege(token_.get(), restore);
    RestorePrivilege(token_.get(), backup);
    token_.reset();

    if (saveStatus == ERROR_SUCCESS && restoreStatus == ERROR_SUCCESS && SameTree(from, to)) {
        return true;
    }
    // A restore can report success and bring nothing (Wine), and without the
    // backup privilege there is no file: copy the tree directly instead, into
    // a cleared key so that nothing of a partial restore stays.
    LONG copyStatus = ::RegDeleteTreeW(to, nullptr);
    if (copyStatus == ERROR_SUCCESS) {
        copyStatus = ::RegCopyTreeW(from, nullptr, to);
    }
    if (copyStatus == ERROR_SUCCESS && SameTree(from, to)) {
        return true;
    }
    lastError_ = copyStatus != ERROR_SUCCESS ? copyStatus : ERROR_CANTWRITE;
    return false;
}

bool Registry::JoinSubKeyPath(const char* name, std::string& fullPath) const noexcept
{
    try {
        std::string joined;
        if (!path_.empty()) {
            joined = path_;
            if (path_.back() != '\\') {
                joined += '\\';
            }
        }
        joined += name;
        fullPath.swap(joined);
        return true;
    } catch (...) {
        return false;
    }
}

bool Registry::OpenSubKey(DWORD index, Registry& other) noexcept
{
    lastError_ = 0;
    if (&other == this) {
        return false;
    }
    other.Close();
    other.root_ = root_;
    other.path_.clear();
    if (!key_) {
        return false;
    }
    char name[kNameUnits] = {};
    DWORD chars = kNameUnits;
    const LONG status = EnumKeyAt(key_.get(), index, name, &chars);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    if (!JoinSubKeyPath(name, other.path_)) {
        lastError_ = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    return other.Open(false);
}

bool Registry::SubKeyCount(std::uint64_t* count) noexcept
{
    lastError_ = 0;
    if (!key_ || count == nullptr) {
        return false;
    }
    DWORD subKeys = 0;
    const LONG status = ::RegQueryInfoKeyA(key_.get(), nullptr, nullptr, nullptr, &subKeys, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    *count = subKeys;
    return true;
}

bool Registry::ValueCount(std::uint64_t* count) noexcept
{
    lastError_ = 0;
    if (!key_ || count == nullptr) {
        return false;
    }
    DWORD values = 0;
    const LONG status = ::RegQueryInfoKeyA(key_.get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, &values, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    *count = values;
    return true;
}

bool Registry::EnumSubKey(DWORD index, char* fullPath, std::size_t fullPathSize, char* name,
                          std::size_t nameSize) noexcept
{
    lastError_ = 0;
    if (!key_ || fullPath == nullptr || fullPathSize == 0) {
        return false;
    }
    char found[kNameUnits] = {};
    DWORD chars = kNameUnits;
    const LONG status = EnumKeyAt(key_.get(), index, found, &chars);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    if (name != nullptr && nameSize > 0) {
        CopyCut(name, nameSize, found);
    }
    JoinCut(fullPath, fullPathSize, path_.c_str(), found);
    return true;
}

bool Registry::EnumSubKey(DWORD index, wchar_t* fullPath, std::size_t fullPathSize, wchar_t* name,
                          std::size_t nameSize) noexcept
{
    lastError_ = 0;
    if (!key_) {
        return false;
    }
    wchar_t found[kNameUnits] = {};
    DWORD chars = kNameUnits;
    LONG status = EnumKeyAt(key_.get(), index, found, &chars);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    if (name != nullptr && nameSize > 0) {
        CopyCut(name, nameSize, found);
    }
    if (fullPath != nullptr && fullPathSize > 0) {
        std::wstring widePath;
        status = ToWide(path_.c_str(), widePath);
        if (status != ERROR_SUCCESS) {
            lastError_ = status;
            return false;
        }
        JoinCut(fullPath, fullPathSize, widePath.c_str(), found);
    }
    return true;
}

bool Registry::SubKeyPath(const char* name, char* buffer, std::size_t size) const noexcept
{
    if (name == nullptr || buffer == nullptr || size == 0) {
        return false;
    }
    JoinCut(buffer, size, path_.c_str(), name);
    return true;
}

bool Registry::SubKeyPath(const wchar_t* name, wchar_t* buffer, std::size_t size) const noexcept
{
    if (name == nullptr || buffer == nullptr || size == 0) {
        return false;
    }
    std::wstring widePath;
    if (ToWide(path_.c_str(), widePath) != ERROR_SUCCESS) {
        return false;
    }
    JoinCut(buffer, size, widePath.c_str(), name);
    return true;
}

const char* Registry::Path() const noexcept
{
    return path_.empty() ? nullptr : path_.c_str();
}

const char* Registry::LeafName() const noexcept
{
    if (path_.empty()) {
        return nullptr;
    }
    const std::size_t separator = path_.rfind('\\');
    return separator == std::string::npos ? path_.c_str() : path_.c_str() + separator + 1;
}

// Value operations.

template <typename Char>
bool Registry::CanRead(const Char* name) noexcept
{
    lastError_ = 0;
    return key_ && (!keepValueNames_ || HasValueName(name));
}

template <typename Char>
bool Registry::WriteValue(const Char* name, DWORD type, const void* data, DWORD size) noexcept
{
    lastError_ = 0;
    if (!key_ || (data == nullptr && size > 0)) {
        return false;
    }
    const LONG status = SetValue(key_.get(), name, type, data, size);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    return true;
}

bool Registry::WriteString(const char* name, const char* value) noexcept
{
    if (value == nullptr) {
        lastError_ = 0;
        return false;
    }
    return WriteValue(name, REG_SZ, value, static_cast<DWORD>(Length(value) + 1));
}

bool Registry::WriteString(const wchar_t* name, const wchar_t* value) noexcept
{
    if (value == nullptr) {
        lastError_ = 0;
        return false;
    }
    return WriteValue(name, REG_SZ, value,
                      static_cast<DWORD>((Length(value) + 1) * sizeof(wchar_t)));
}

bool Registry::WriteDword(const char* name, std::int32_t value) noexcept
{
    const DWORD data = static_cast<DWORD>(value);
    return WriteValue(name, REG_DWORD, &data, sizeof data);
}
bool Registry::WriteDword(const char* name, std::uint32_t value) noexcept
{
    const DWORD data = value;
    return WriteValue(name, REG_DWORD, &data, sizeof data);
}
bool Registry::WriteDword(const char* name, long value) noexcept
{
    const DWORD data = static_cast<DWORD>(value);
    return WriteValue(name, REG_DWORD, &data, sizeof data);
}
bool Registry::WriteDword(const char* name, unsigned long value) noexcept
{
    const DWORD data = value;
    return WriteValue(name, REG_DWORD, &data, sizeof data);
}
bool Registry::WriteDword(const char* name, bool value) noexcept
{
    const DWORD data = value ? 1 : 0;
    return WriteValue(name, REG_DWORD, &data, sizeof data);
}
bool Registry::WriteDword(const wchar_t* name, std::int32_t value) noexcept
{
    const DWORD data = static_cast<DWORD>(value);
    return WriteValue(name, REG_DWORD, &data, sizeof data);
}
bool Registry::WriteDword(const wchar_t* name, std::uint32_t value) noexcept
{
    const DWORD data = value;
    return WriteValue(name, REG_DWORD, &data, sizeof data);
}
bool Registry::WriteDword(const wchar_t* name, long value) noexcept
{
    const DWORD data = static_cast<DWORD>(value);
    return WriteValue(name, REG_DWORD, &data, sizeof data);
}
bool Registry::WriteDword(const wchar_t* name, unsigned long value) noexcept
{
    const DWORD data = value;
    return WriteValue(name, REG_DWORD, &data, sizeof data);
}
bool Registry::WriteDword(const wchar_t* name, bool value) noexcept
{
    const DWORD data = value ? 1 : 0;
    return WriteValue(name, REG_DWORD, &data, sizeof data);
}

bool Registry::WriteQword(const char* name, std::uint64_t value) noexcept
{
    return WriteValue(name, REG_QWORD, &value, sizeof value);
}
bool Registry::WriteQword(const wchar_t* name, std::uint64_t value) noexcept
{
    return WriteValue(name, REG_QWORD, &value, sizeof value);
}

bool Registry::WriteBinary(const char* name, const void* data, DWORD size) noexcept
{
    return WriteValue(name, REG_BINARY, data, size);
}
bool Registry::WriteBinary(const wchar_t* name, const void* data, DWORD size) noexcept
{
    return WriteValue(name, REG_BINARY, data, size);
}

template <typename Char>
bool Registry::WriteMultiStringOf(const Char* name,
                                  const std::vector<std::basic_string<Char>>& values) noexcept
{
    lastError_ = 0;
    if (!key_) {
        return false;
    }
    std::size_t units = 1;
    for (const auto& value : values) {
        units += value.size() + 1;
    }
    StackOrHeap<Char, kStackBytes / sizeof(Char)> data;
    if (!data.Reserve(units)) {
        lastError_ = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    Char* out = data.Data();
    for (const auto& value : values) {
        std::char_traits<Char>::copy(out, value.data(), value.size());
        out += value.size();
        *out++ = Char();
    }
    *out = Char();
    return WriteValue(name, REG_MULTI_SZ, data.Data(), static_cast<DWORD>(units * sizeof(Char)));
}

bool Registry::WriteMultiString(const char* name, const std::vector<std::string>& values) noexcept
{
    return WriteMultiStringOf(name, values);
}
bool Registry::WriteMultiString(const wchar_t* name,
                                const std::vector<std::wstring>& values) noexcept
{
    return WriteMultiStringOf(name, values);
}

bool Registry::DeleteValue(const char* name) noexcept
{
    lastError_ = 0;
    if (!key_) {
        return false;
    }
    const LONG status = RemoveValue(key_.get(), name);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    return true;
}

bool Registry::DeleteValue(const wchar_t* name) noexcept
{
    lastError_ = 0;
    if (!key_) {
        return false;
    }
    const LONG status = RemoveValue(key_.get(), name);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    return true;
}

template <typename Char>
bool Registry::ValueSizeOf(const Char* name, DWORD& size) noexcept
{
    lastError_ = 0;
    if (!key_) {
        return false;
    }
    DWORD bytes = 0;
    const LONG status = QueryValue(key_.get(), name, nullptr, nullptr, &bytes);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    size = bytes;
    return true;
}

bool Registry::ValueSize(const char* name, DWORD& size) noexcept
{
    return ValueSizeOf(name, size);
}
bool Registry::ValueSize(const wchar_t* name, DWORD& size) noexcept
{
    return ValueSizeOf(name, size);
}

template <typename Char>
bool Registry::ReadStringOf(const Char* name, Char* buffer, DWORD sizeInChars) noexcept
{
    if (!CanRead(name) || buffer == nullptr || sizeInChars == 0) {
        return false;
    }
    StackOrHeap<Char, kStackBytes> data;
    if (!data.Reserve(sizeInChars)) {
        lastError_ = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    DWORD type = REG_NONE;
    DWORD bytes = data.CapacityBytes();
    const LONG status = QueryValue(key_.get(), name, &type, data.Data(), &bytes);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return false;
    }
    // Stored text need not carry its terminator.
    Char* text = data.Data();
    text[bytes / sizeof(Char)] = Char();
    if (type == REG_SZ) {
        CopyCut(buffer, sizeInChars, text);
        return true;
    }
    const DWORD needed = Expand(text, buffer, sizeInChars);
    if (needed == 0) {
        CopyCut(buffer, sizeInChars, text);
    } else if (needed > sizeInChars) {
        // Too long for the caller: expand in full, then cut like any text.
        unique_local<Char*> expanded(
            static_cast<Char*>(::LocalAlloc(LMEM_ZEROINIT, needed * sizeof(Char))));
        const DWORD written = expanded ? Expand(text, expanded.get(), needed) : 0;
        // The environment may have changed in between: then the text as stored.
        CopyCut(buffer, sizeInChars,
                written > 0 && written <= needed ? expanded.get() : text);
    }
    return true;
}

bool Registry::ReadString(const char* name, char* buffer, DWORD sizeInChars) noexcept
{
    return ReadStringOf(name, buffer, sizeInChars);
}

bool Registry::ReadString(const wchar_t* name, wchar_t* buffer, DWORD sizeInChars) noexcept
{
    return ReadStringOf(name, buffer, sizeInChars);
}

void Registry::ReadString(const char* name, char* buffer, DWORD sizeInChars,
                          const char* defaultText) noexcept
{
    if (!ReadStringOf(name, buffer, sizeInChars) && buffer != nullptr && sizeInChars > 0) {
        CopyPadded(buffer, sizeInChars, defaultText);
    }
}

void Registry::ReadString(const wchar_t* name, wchar_t* buffer, DWORD sizeInChars,
                          const wchar_t* defaultText) noexcept
{
    if (!ReadStringOf(name, buffer, sizeInChars) && buffer != nullptr && sizeInChars > 0) {
        CopyPadded(buffer, sizeInChars, defaultText);
    }
}

template <typename Char>
bool Registry::ReadFixed(const Char* name, DWORD type, void* value, DWORD size) noexcept
{
    if (!CanRead(name)) {
        return false;
    }
    // Read into a local first: a short value of another type must not reach
    // the caller's variable.
    std::uint64_t data = 0;
    DWORD actualType = REG_NONE;
    DWORD bytes = size;
    LONG status = QueryValue(key_.get(), name, &actualType, &data, &bytes);
    if (status == ERROR_MORE_DATA) {
        // A longer value of another type is a type mismatch, not a status.
        status = QueryValue(key_.get(), name, &actualType, nullptr, nullptr);
        if (status == ERROR_SUCCESS && actualType != type) {
            return false;
        }
        lastError_ = status != ERROR_SUCCESS ? status : ERROR_MORE_DATA;
        return false;
    }
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    if (actualType != type) {
        return false;
    }
    if (bytes != size) {
        lastError_ = ERROR_INVALID_DATA;
        return false;
    }
    std::memcpy(value, &data, size);
    return true;
}

template <typename Char, typename T>
bool Registry::ReadDwordAs(const Char* name, T& value) noexcept
{
    DWORD data = 0;
    if (!ReadFixed(name, REG_DWORD, &data, sizeof data)) {
        return false;
    }
    value = static_cast<T>(data);
    return true;
}

bool Registry::ReadDword(const char* name, std::int32_t& value) noexcept
{
    return ReadDwordAs(name, value);
}
bool Registry::ReadDword(const char* name, std::uint32_t& value) noexcept
{
    return ReadDwordAs(name, value);
}
bool Registry::ReadDword(const char* name, long& value) noexcept { return ReadDwordAs(name, value); }
bool Registry::ReadDword(const char* name, unsigned long& value) noexcept
{
    return ReadDwordAs(name, value);
}
bool Registry::ReadDword(const char* name, bool& value) noexcept { return ReadDwordAs(name, value); }
bool Registry::ReadDword(const wchar_t* name, std::int32_t& value) noexcept
{
    return ReadDwordAs(name, value);
}
bool Registry::ReadDword(const wchar_t* name, std::uint32_t& value) noexcept
{
    return ReadDwordAs(name, value);
}
bool Registry::ReadDword(const wchar_t* name, long& value) noexcept
{
    return ReadDwordAs(name, value);
}
bool Registry::ReadDword(const wchar_t* name, unsigned long& value) noexcept
{
    return ReadDwordAs(name, value);
}
bool Registry::ReadDword(const wchar_t* name, bool& value) noexcept
{
    return ReadDwordAs(name, value);
}

bool Registry::ReadDword(const char* name, std::int32_t& value, std::int32_t defaultValue) noexcept
{
    return ReadDwordOr(*this, name, value, defaultValue);
}
bool Registry::ReadDword(const char* name, std::uint32_t& value,
                         std::uint32_t defaultValue) noexcept
{
    return ReadDwordOr(*this, name, value, defaultValue);
}
bool Registry::ReadDword(const char* name, long& value, long defaultValue) noexcept
{
    return ReadDwordOr(*this, name, value, defaultValue);
}
bool Registry::ReadDword(const char* name, unsigned long& value,
                         unsigned long defaultValue) noexcept
{
    return ReadDwordOr(*this, name, value, defaultValue);
}
bool Registry::ReadDword(const char* name, bool& value, bool defaultValue) noexcept
{
    return ReadDwordOr(*this, name, value, defaultValue);
}
bool Registry::ReadDword(const wchar_t* name, std::int32_t& value,
                         std::int32_t defaultValue) noexcept
{
    return ReadDwordOr(*this, name, value, defaultValue);
}
bool Registry::ReadDword(const wchar_t* name, std::uint32_t& value,
                         std::uint32_t defaultValue) noexcept
{
    return ReadDwordOr(*this, name, value, defaultValue);
}
bool Registry::ReadDword(const wchar_t* name, long& value, long defaultValue) noexcept
{
    return ReadDwordOr(*this, name, value, defaultValue);
}
bool Registry::ReadDword(const wchar_t* name, unsigned long& value,
                         unsigned long defaultValue) noexcept
{
    return ReadDwordOr(*this, name, value, defaultValue);
}
bool Registry::ReadDword(const wchar_t* name, bool& value, bool defaultValue) noexcept
{
    return ReadDwordOr(*this, name, value, defaultValue);
}

bool Registry::ReadQword(const char* name, std::uint64_t& value) noexcept
{
    if (name == nullptr) {
        lastError_ = 0;
        return false;
    }
    return ReadFixed(name, REG_QWORD, &value, sizeof value);
}

bool Registry::ReadQword(const wchar_t* name, std::uint64_t& value) noexcept
{
    if (name == nullptr) {
        lastError_ = 0;
        return false;
    }
    return ReadFixed(name, REG_QWORD, &value, sizeof value);
}

template <typename Char>
bool Registry::ReadBinaryOf(const Char* name, void* buffer, DWORD& size) noexcept
{
    if (!CanRead(name) || buffer == nullptr) {
        return false;
    }
    StackOrHeap<BYTE, kStackBytes> data;
    if (!data.Reserve(size)) {
        lastError_ = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    DWORD type = REG_NONE;
    DWORD bytes = data.CapacityBytes();
    const LONG status = QueryValue(key_.get(), name, &type, data.Data(), &bytes);
    if (status == ERROR_MORE_DATA) {
        lastError_ = status;
        size = bytes;
        return false;
    }
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    if (type != REG_BINARY) {
        return false;
    }
    if (bytes > size) {
        lastError_ = ERROR_MORE_DATA;
        size = bytes;
        return false;
    }
    std::memcpy(buffer, data.Data(), bytes);
    size = bytes;
    return true;
}

bool Registry::ReadBinary(const char* name, void* buffer, DWORD& size) noexcept
{
    return ReadBinaryOf(name, buffer, size);
}
bool Registry::ReadBinary(const wchar_t* name, void* buffer, DWORD& size) noexcept
{
    return ReadBinaryOf(name, buffer, size);
}

template <typename Char>
bool Registry::ReadMultiStringOf(const Char* name,
                                 std::vector<std::basic_string<Char>>& values) noexcept
{
    if (!CanRead(name)) {
        return false;
    }
    DWORD size = 0;
    if (!ValueSizeOf(name, size)) {
        return false;
    }
    StackOrHeap<Char, kStackBytes / sizeof(Char)> data;
    if (!data.Reserve((size + sizeof(Char) - 1) / sizeof(Char))) {
        lastError_ = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    DWORD type = REG_NONE;
    DWORD bytes = data.CapacityBytes();
    const LONG status = QueryValue(key_.get(), name, &type, data.Data(), &bytes);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    if (type != REG_MULTI_SZ) {
        return false;
    }
    const Char* text = data.Data();
    const std::size_t units = bytes / sizeof(Char);
    try {
        for (std::size_t start = 0; start < units;) {
            std::size_t end = start;
            while (end < units && text[end] != Char()) {
                ++end;
            }
            if (end > start) {
                values.emplace_back(text + start, std::min(end - start, kMultiStringLimit));
            }
            start = end + 1;
        }
    } catch (...) {
        lastError_ = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    return true;
}

bool Registry::ReadMultiString(const char* name, std::vector<std::string>& values) noexcept
{
    return ReadMultiStringOf(name, values);
}
bool Registry::ReadMultiString(const wchar_t* name, std::vector<std::wstring>& values) noexcept
{
    return ReadMultiStringOf(name, values);
}

template <typename Char>
bool Registry::EnumValueOf(DWORD index, Char* name, DWORD nameSizeInChars, DWORD* type,
                           void* data, DWORD* dataSize) noexcept
{
    lastError_ = 0;
    if (!key_ || name == nullptr || nameSizeInChars == 0) {
        return false;
    }
    DWORD chars = nameSizeInChars;
    const DWORD capacity = dataSize != nullptr ? *dataSize : 0;
    DWORD bytes = capacity;
    const LONG status = EnumValueAt(key_.get(), index, name, &chars, type,
                                    dataSize != nullptr ? data : nullptr,
                                    dataSize != nullptr ? &bytes : nullptr);
    if (status != ERROR_SUCCESS) {
        lastError_ = status;
        return false;
    }
    name[chars < nameSizeInChars ? chars : nameSizeInChars - 1] = Char();
    if (dataSize != nullptr) {
        if (data != nullptr && bytes < capacity) {
            static_cast<BYTE*>(data)[bytes] = 0;
        }
        *dataSize = bytes;
    }
    return true;
}

bool Registry::EnumValueName(DWORD index, char* name, DWORD sizeInChars) noexcept
{
    return EnumValueOf(index, name, sizeInChars, nullptr, nullptr, nullptr);
}
bool Registry::EnumValueName(DWORD index, wchar_t* name, DWORD sizeInChars) noexcept
{
    return EnumValueOf(index, name, sizeInChars, nullptr, nullptr, nullptr);
}
bool Registry::EnumValue(DWORD index, char* name, DWORD nameSizeInChars, DWORD* type, void* data,
                         DWORD& dataSize) noexcept
{
    return EnumValueOf(index, name, nameSizeInChars, type, data, &dataSize);
}
bool Registry::EnumValue(DWORD index, wchar_t* name, DWORD nameSizeInChars, DWORD* type,
                         void* data, DWORD& dataSize) noexcept
{
    return EnumValueOf(index, name, nameSizeInChars, type, data, &dataSize);
}

void Registry::LoadValueNames() noexcept
{
    if (!key_) {
        return;
    }
    valueNames_.clear();
    for (DWORD index = 0;; ++index) {
        char name[256] = {};
        DWORD chars = sizeof name;
        const LONG status =
            ::RegEnumValueA(key_.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) {
            continue;  // longer than 255 characters: such a name reads as absent
        }
        if (status != ERROR_SUCCESS) {
            break;
        }
        try {
            valueNames_.emplace(name, chars);
        } catch (...) {
            // Out of memory: the names missing from the set read as absent.
            return;
        }
    }
}

bool Registry::HasValueName(const char* name) const noexcept
{
    return valueNames_.find(name != nullptr ? name : "") != valueNames_.end();
}

bool Registry::HasValueName(const wchar_t* name) const noexcept
{
    std::string converted;
    return ToAnsi(name, converted) == ERROR_SUCCESS && HasValueName(converted.c_str());
}
