#pragma once

// Reading what a component wrote, byte for byte.

#include <windows.h>

#include <string>
#include <vector>

// The file's bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
// Splits on "\r\n"; a final line without one is kept as it is.
std::vector<std::string> SplitCrLfLines(const std::string& bytes);
