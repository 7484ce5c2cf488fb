#pragma once

// A registry key with everything below it, read with the raw registry API,
// for tests that assert on exactly what a component wrote.

#include <windows.h>

#include <map>
#include <string>

// Sub-key path relative to the key ("" for the key itself) -> value name ->
// "REG_SZ:text" / "REG_DWORD:n" / "type N". Empty when the key is missing.
using RegistryTree = std::map<std::wstring, std::map<std::wstring, std::wstring>>;

RegistryTree ReadRegistryTree(HKEY root, const std::wstring& path);
bool RegistryKeyExists(HKEY root, const std::wstring& path);
