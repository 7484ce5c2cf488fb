#include "common/util/ansi_text.h"

#include <windows.h>

std::wstring AnsiToWide(const char* text)
{
    std::wstring wide;
    if (text == nullptr || *text == '\0') {
        return wide;
    }
    const int units = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 1) {
        return wide;
    }
    wide.resize(static_cast<std::size_t>(units));
    if (::MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], units) != units) {
        return std::wstring();
    }
    wide.resize(static_cast<std::size_t>(units - 1));
    return wide;
}

std::string WideToAnsi(const wchar_t* text)
{
    std::string narrow;
    if (text == nullptr || *text == L'\0') {
        return narrow;
    }
    const int bytes = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) {
        return narrow;
    }
    narrow.resize(static_cast<std::size_t>(bytes));
    if (::WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], bytes, nullptr, nullptr) != bytes) {
        return std::string();
    }
    narrow.resize(static_cast<std::size_t>(bytes - 1));
    return narrow;
}
