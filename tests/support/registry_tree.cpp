#include "registry_tree.h"

#include <vector>

#include "common/util/unique_resource.h"

namespace {

std::wstring ValueText(DWORD type, const std::vector<BYTE>& data, DWORD size)
{
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') {
            text.pop_back();
        }
        return (type == REG_SZ ? L"REG_SZ:" : L"REG_EXPAND_SZ:") + text;
    }
    if (type == REG_DWORD && size == 4) {
        return L"REG_DWORD:" + std::to_wstring(*reinterpret_cast<const DWORD*>(data.data()));
    }
    return L"type " + std::to_wstring(type);
}

void ReadInto(HKEY key, const std::wstring& relative, RegistryTree& tree)
{
    auto& values = tree[relative];
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameUnits = 16384;
        DWORD type = 0;
        std::vector<BYTE> data(65536);
        DWORD size = static_cast<DWORD>(data.size());
        if (::RegEnumValueW(key, index, name, &nameUnits, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) {
            break;
        }
        values[name] = ValueText(type, data, size);
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameUnits = 256;
        if (::RegEnumKeyExW(key, index, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        unique_hkey child;
        if (::RegOpenKeyExW(key, name, 0, KEY_READ, child.put()) == ERROR_SUCCESS) {
            ReadInto(child.get(), relative.empty() ? name : relative + L"\\" + name, tree);
        }
    }
}

}  // namespace

RegistryTree ReadRegistryTree(HKEY root, const std::wstring& path)
{
    RegistryTree tree;
    unique_hkey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS) {
        ReadInto(key.get(), L"", tree);
    }
    return tree;
}

bool RegistryKeyExists(HKEY root, const std::wstring& path)
{
    unique_hkey key;
    return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}
