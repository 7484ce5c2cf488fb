#pragma once

// Conversions between narrow text and UTF-16, the one rule the whole library
// follows for narrow input and output. When the process-wide Windows-1252 flag
// is set (the system's ANSI code page is 1252), narrow text is converted with
// a built-in Windows-1252 table, so the result does not hang on the system's
// tables or on the thread's code page; otherwise with the thread's ANSI code
// page.

#include <cstddef>
#include <string>

// Up to the terminator, in the length arguments below.
constexpr std::size_t kWholeText = static_cast<std::size_t>(-1);

// Windows-1252 by the built-in table: bytes below 0x80 and from 0xA0 are the
// code point of the same value; 0x80-0x9F as the code page defines them, and
// the five bytes it leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) U+FFFD.
wchar_t Windows1252ToUnicode(unsigned char byte) noexcept;
// The byte for a character of the set, '?' for any other.
char UnicodeToWindows1252(wchar_t character) noexcept;

// With the built-in table when `windows1252` is set, else with the thread's
// ANSI code page. Null converts to an empty text; so does text the code page
// cannot take. `length` counts bytes (units); kWholeText stops at the
// terminator.
std::wstring NarrowToWide(const char* text, std::size_t length, bool windows1252);
std::string WideToNarrow(const wchar_t* text, std::size_t length, bool windows1252);

// The process-wide flag: false until set at load; written only before other
// threads of the library run. Setting answers the previous value.
bool Windows1252Flag() noexcept;
bool SetWindows1252Flag(bool windows1252) noexcept;
// Whether the system's ANSI code page is 1252; what the flag is set from.
bool AnsiCodePageIs1252() noexcept;

// The library's rule: NarrowToWide / WideToNarrow with the process-wide flag.
std::wstring AnsiToWide(const char* text);
// The same into a caller's buffer of `units` (units > 0), always terminated:
// no allocation, for the logger's record path. Text the buffer cannot hold
// whole converts to an empty text. Answers the units written.
std::size_t AnsiToWide(const char* text, wchar_t* buffer, std::size_t units) noexcept;
std::string WideToAnsi(const wchar_t* text);
