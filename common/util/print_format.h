#pragma once

// printf formatting done one directive at a time: each directive is handed to
// the C runtime alone, with its argument already taken, so a format can never
// make the runtime read more arguments than it names, and %n is never
// executed. The directive parser and the conversion table serve the logger's
// argument check as well, so both read a format the same way.

#include <cstdarg>
#include <cstddef>

enum class PrintSizePrefix { None, HH, H, L, LL, BigL, W, I, I32, I64 };

// The type a directive takes from the argument list. NoArgument is "%%";
// SChar and UChar (hh) are runtime extensions only.
enum class PrintArgType {
    NoArgument, Invalid,
    Char, WChar, Short, Long, Int64, Int, UShort, ULong, UInt64, UInt,
    Double, LongDouble, IntPtr, VoidPtr, CharPtr, WCharPtr,
    SChar, UChar,
};

// One printf directive as the scanner sees it, from its '%' on.
struct PrintDirective {
    std::size_t length = 0;      // through the conversion character
    std::size_t prefixStart = 0; // where the size prefix begins
    int stars = 0;               // '*' widths and precisions, one int each
    PrintSizePrefix size = PrintSizePrefix::None;
    unsigned conversion = 0;     // 0 when the format ends inside the directive
};

// `percent` points at the '%'.
PrintDirective ParseDirective(const wchar_t* percent) noexcept;
PrintDirective ParseDirective(const char* percent) noexcept;

// The base conversion table (no prefix, h, l, I64). With runtimeExtensions it
// also takes what the C runtime knows beyond it (hh, ll, L, w, I, I32, %a),
// so that an unchecked format still pulls every argument with its right type.
// `wideFormat` decides what an unprefixed %c, %C, %s and %S take.
PrintArgType ArgumentTypeOf(bool wideFormat, const PrintDirective& directive, bool runtimeExtensions) noexcept;

// printf formatting with the C runtime's rules (a wide format's %s takes
// wchar_t*, a narrow one's char*; %hs, %ls, %S, I64 as the runtime has them)
// into `size` units: at most size - 1 characters, always terminated. Returns
// the number of characters written, or -1 when the text was cut (also for
// size 0, a null buffer or a null format). %n consumes its pointer and writes
// nothing through it; a directive the runtime does not know is copied as it
// stands.
int FormatPrintText(wchar_t* buffer, std::size_t size, const wchar_t* format, va_list args) noexcept;
int FormatPrintText(char* buffer, std::size_t size, const char* format, va_list args) noexcept;
