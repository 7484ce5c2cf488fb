#include "common/util/ansi_text.h"

#include <windows.h>

#include <climits>
#include <cstring>
#include <cwchar>

namespace {

constexpr wchar_t kUndefined = 0xFFFD;

// 0x80-0x9F, the one range where Windows-1252 differs from Latin-1.
constexpr wchar_t kHighControls[32] = {
    0x20AC, kUndefined, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030,     0x0160, 0x2039, 0x0152, kUndefined, 0x017D, kUndefined,
    kUndefined, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122,     0x0161, 0x203A, 0x0153, kUndefined, 0x017E, 0x0178,
};

bool g_windows1252 = false;

}  // namespace

wchar_t Windows1252ToUnicode(unsigned char byte) noexcept
{
    if (byte >= 0x80 && byte < 0xA0) {
        return kHighControls[byte - 0x80];
    }
    return static_cast<wchar_t>(byte);
}

char UnicodeToWindows1252(wchar_t character) noexcept
{
    if (character < 0x80 || (character >= 0xA0 && character <= 0xFF)) {
        return static_cast<char>(character);
    }
    if (character != kUndefined) {
        for (int index = 0; index < 32; ++index) {
            if (kHighControls[index] == character) {
                return static_cast<char>(0x80 + index);
            }
        }
    }
    return '?';
}

std::wstring NarrowToWide(const char* text, std::size_t length, bool windows1252)
{
    std::wstring wide;
    if (text == nullptr) {
        return wide;
    }
    if (length == kWholeText) {
        length = std::strlen(text);
    }
    if (length == 0) {
        return wide;
    }
    if (windows1252) {
        wide.resize(length);
        for (std::size_t index = 0; index < length; ++index) {
            wide[index] = Windows1252ToUnicode(static_cast<unsigned char>(text[index]));
        }
        return wide;
    }
    const int bytes = static_cast<int>(length);
    const int units = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, bytes, nullptr, 0);
    if (units <= 0) {
        return wide;
    }
    wide.resize(static_cast<std::size_t>(units));
    if (::MultiByteToWideChar(CP_THREAD_ACP, 0, text, bytes, &wide[0], units) != units) {
        return std::wstring();
    }
    return wide;
}

std::string WideToNarrow(const wchar_t* text, std::size_t length, bool windows1252)
{
    std::string narrow;
    if (text == nullptr) {
        return narrow;
    }
    if (length == kWholeText) {
        length = std::wcslen(text);
    }
    if (length == 0) {
        return narrow;
    }
    if (windows1252) {
        narrow.reserve(length);
        for (std::size_t index = 0; index < length; ++index) {
            // A character beyond U+FFFF is two units and one "?".
            if (IS_HIGH_SURROGATE(text[index]) && index + 1 < length &&
                IS_LOW_SURROGATE(text[index + 1])) {
                ++index;
            }
            narrow.push_back(UnicodeToWindows1252(text[index]));
        }
        return narrow;
    }
    const int units = static_cast<int>(length);
    const int bytes =
        ::WideCharToMultiByte(CP_THREAD_ACP, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return narrow;
    }
    narrow.resize(static_cast<std::size_t>(bytes));
    if (::WideCharToMultiByte(CP_THREAD_ACP, 0, text, units, &narrow[0], bytes, nullptr,
                              nullptr) != bytes) {
        return std::string();
    }
    return narrow;
}

bool Windows1252Flag() noexcept
{
    return g_windows1252;
}

bool SetWindows1252Flag(bool windows1252) noexcept
{
    const bool previous = g_windows1252;
    g_windows1252 = windows1252;
    return previous;
}

bool AnsiCodePageIs1252() noexcept
{
    return ::GetACP() == 1252;
}

std::wstring AnsiToWide(const char* text)
{
    return NarrowToWide(text, kWholeText, g_windows1252);
}

std::string WideToAnsi(const wchar_t* text)
{
    return WideToNarrow(text, kWholeText, g_windows1252);
}

std::size_t AnsiToWide(const char* text, wchar_t* buffer, std::size_t units) noexcept
{
    buffer[0] = L'\0';
    if (text == nullptr) {
        return 0;
    }
    const std::size_t length = std::strlen(text);
    if (g_windows1252) {
        if (length >= units) {
            return 0;
        }
        for (std::size_t index = 0; index < length; ++index) {
            buffer[index] = Windows1252ToUnicode(static_cast<unsigned char>(text[index]));
        }
        buffer[length] = L'\0';
        return length;
    }
    const int written = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, buffer,
                                              static_cast<int>(units > INT_MAX ? INT_MAX : units));
    if (written <= 0) {
        buffer[0] = L'\0';
        return 0;
    }
    return static_cast<std::size_t>(written - 1);
}
