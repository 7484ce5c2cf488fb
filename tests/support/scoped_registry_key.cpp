#include "scoped_registry_key.h"

#include <atomic>
#include <stdexcept>

namespace {

constexpr const char* kParent = "Software\\RouterClientTests";

std::string Join(const std::string& path, const std::string& relative)
{
    return relative.empty() ? path : path + "\\" + relative;
}

void Collect(HKEY key, const std::string& prefix, ScopedRegistryKey::Tree& tree)
{
    tree[prefix.empty() ? "\\" : prefix] = {};
    for (DWORD index = 0;; ++index) {
        char name[16384];
        DWORD chars = sizeof name;
        DWORD type = 0;
        DWORD bytes = 0;
        if (::RegEnumValueA(key, index, name, &chars, nullptr, &type, nullptr, &bytes) !=
            ERROR_SUCCESS) {
            break;
        }
        std::string data(bytes, '\0');
        chars = sizeof name;
        if (::RegEnumValueA(key, index, name, &chars, nullptr, &type,
                            reinterpret_cast<BYTE*>(&data[0]), &bytes) != ERROR_SUCCESS) {
            throw std::runtime_error("RegEnumValueA failed");
        }
        data.resize(bytes);
        tree[prefix + "=" + name] = {type, data};
    }
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD chars = sizeof name;
        if (::RegEnumKeyExA(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        unique_hkey child;
        if (::RegOpenKeyExA(key, name, 0, KEY_READ, child.put()) != ERROR_SUCCESS) {
            throw std::runtime_error("RegOpenKeyExA failed");
        }
        Collect(child.get(), prefix + name + "\\", tree);
    }
}

}  // namespace

ScopedRegistryKey::ScopedRegistryKey(HKEY root, REGSAM view) : root_(root), view_(view)
{
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ = std::string(kParent) + "\\" + std::to_string(::GetCurrentProcessId()) + "-" +
                std::to_string(serial++);
        DWORD disposition = 0;
        if (::RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS | view_, nullptr, key_.put(),
                              &disposition) != ERROR_SUCCESS) {
            break;
        }
        if (disposition == REG_CREATED_NEW_KEY) {
            return;
        }
        // Left behind by an earlier process with the same id: not ours.
        key_.reset();
    }
    throw std::runtime_error("cannot create a private registry key");
}

ScopedRegistryKey::~ScopedRegistryKey()
{
    key_.reset();
    unique_hkey parent;
    if (::RegOpenKeyExA(root_, kParent, 0, KEY_ALL_ACCESS | view_, parent.put()) == ERROR_SUCCESS) {
        const std::string leaf = path_.substr(path_.rfind('\\') + 1);
        // A destructor cannot report; a key left behind has a unique name.
        (void)::RegDeleteTreeA(parent.get(), leaf.c_str());
        (void)::RegDeleteKeyExA(parent.get(), leaf.c_str(), view_, 0);
    }
}

unique_hkey ScopedRegistryKey::OpenRelative(const std::string& relative, REGSAM rights) const
{
    unique_hkey key;
    if (::RegOpenKeyExA(key_.get(), relative.c_str(), 0, rights | view_, key.put()) !=
        ERROR_SUCCESS) {
        key.reset();  // an empty owner says "missing"
    }
    return key;
}

void ScopedRegistryKey::CreateSubKey(const std::string& relative) const
{
    unique_hkey key;
    if (::RegCreateKeyExA(key_.get(), relative.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_ALL_ACCESS | view_, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("RegCreateKeyExA failed for " + Join(path_, relative));
    }
}

bool ScopedRegistryKey::Exists(const std::string& relative) const
{
    return static_cast<bool>(OpenRelative(relative, KEY_READ));
}

void ScopedRegistryKey::SetValue(const std::string& relative, const char* name, DWORD type,
                                 const void* data, DWORD size) const
{
    CreateSubKey(relative);
    unique_hkey key = OpenRelative(relative, KEY_SET_VALUE);
    if (!key || ::RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size) !=
                    ERROR_SUCCESS) {
        throw std::runtime_error("RegSetValueExA failed");
    }
}

void ScopedRegistryKey::SetString(const std::string& relative, const char* name,
                                  const std::string& text, DWORD type) const
{
    SetValue(relative, name, type, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

void ScopedRegistryKey::SetDword(const std::string& relative, const char* name, DWORD value) const
{
    SetValue(relative, name, REG_DWORD, &value, sizeof value);
}

std::optional<ScopedRegistryKey::RawValue> ScopedRegistryKey::Value(const std::string& relative,
                                                                    const char* name) const
{
    unique_hkey key = OpenRelative(relative, KEY_QUERY_VALUE);
    RawValue value;
    DWORD bytes = 0;
    if (!key ||
        ::RegQueryValueExA(key.get(), name, nullptr, &value.type, nullptr, &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.bytes.assign(bytes, '\0');
    if (::RegQueryValueExA(key.get(), name, nullptr, &value.type,
                           reinterpret_cast<BYTE*>(&value.bytes[0]), &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.bytes.resize(bytes);
    return value;
}

std::optional<ScopedRegistryKey::RawValue> ScopedRegistryKey::WideValue(
    const std::string& relative, const wchar_t* name) const
{
    unique_hkey key = OpenRelative(relative, KEY_QUERY_VALUE);
    RawValue value;
    DWORD bytes = 0;
    if (!key ||
        ::RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.bytes.assign(bytes, '\0');
    if (::RegQueryValueExW(key.get(), name, nullptr, &value.type,
                           reinterpret_cast<BYTE*>(&value.bytes[0]), &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.bytes.resize(bytes);
    return value;
}

ScopedRegistryKey::Tree ScopedRegistryKey::Snapshot(const std::string& relative) const
{
    Tree tree;
    unique_hkey key = OpenRelative(relative, KEY_READ);
    if (key) {
        Collect(key.get(), "", tree);
    }
    return tree;
}
