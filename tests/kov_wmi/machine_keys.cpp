#include "machine_keys.h"

#include "common/util/unique_resource.h"

namespace {

// Values are stored and saved through the UTF-16 calls: their bytes then
// pass as they are, strings included.
std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

bool Open(const std::string& path, unique_hkey& key)
{
    return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS;
}

}  // namespace

MachineKeys::~MachineKeys()
{
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        unique_hkey key;
        if (!Open(it->path, key)) {
            continue;
        }
        if (it->existed) {
            ::RegSetValueExW(key.get(), Wide(it->name).c_str(), 0, it->type,
                             reinterpret_cast<const BYTE*>(it->bytes.data()), static_cast<DWORD>(it->bytes.size()));
        } else {
            ::RegDeleteValueW(key.get(), Wide(it->name).c_str());
        }
    }
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, it->c_str());
        ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, it->c_str());
    }
}

void MachineKeys::Create(const std::string& path)
{
    // Remember the outermost key this call brings into being.
    std::string prefix;
    std::size_t at = 0;
    while (at != std::string::npos) {
        at = path.find('\\', at + 1);
        prefix = path.substr(0, at);
        if (!Exists(prefix)) {
            created_.push_back(prefix);
            break;
        }
    }
    unique_hkey key;
    ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
}

void MachineKeys::SetString(const std::string& path, const char* name, const std::string& text)
{
    Create(path);
    unique_hkey key;
    if (Open(path, key)) {
        ::RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>(text.size() + 1));
    }
}

void MachineKeys::SetDword(const std::string& path, const char* name, DWORD value)
{
    Create(path);
    unique_hkey key;
    if (Open(path, key)) {
        ::RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
}

void MachineKeys::SetForeignValue(const std::string& path, const char* name, DWORD type, const std::string& bytes)
{
    Create(path);
    unique_hkey key;
    if (!Open(path, key)) {
        return;
    }
    SavedValue saved{path, name, false, REG_NONE, {}};
    const std::wstring wideName = Wide(name);
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), wideName.c_str(), nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
        saved.existed = true;
        saved.bytes.resize(size);
        ::RegQueryValueExW(key.get(), wideName.c_str(), nullptr, &saved.type,
                           reinterpret_cast<BYTE*>(&saved.bytes[0]), &size);
    }
    saved_.push_back(saved);
    ::RegSetValueExW(key.get(), wideName.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                     static_cast<DWORD>(bytes.size()));
}

bool MachineKeys::Exists(const std::string& path)
{
    unique_hkey key;
    return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

bool MachineKeys::HasValue(const std::string& path, const char* name)
{
    unique_hkey key;
    return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS &&
           ::RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::string MultiString(const std::vector<std::wstring>& strings)
{
    std::wstring joined;
    for (const std::wstring& s : strings) {
        joined += s;
        joined += L'\0';
    }
    joined += L'\0';
    return std::string(reinterpret_cast<const char*>(joined.data()), joined.size() * sizeof(wchar_t));
}
