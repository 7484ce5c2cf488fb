#pragma once

// Conversions between narrow text in the ANSI code page and UTF-16, the one
// rule the whole library follows for narrow input and output.

#include <string>

// Null converts to an empty text; so does text the code page cannot take.
std::wstring AnsiToWide(const char* text);
std::string WideToAnsi(const wchar_t* text);
