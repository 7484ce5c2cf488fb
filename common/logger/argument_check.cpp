#include "common/logger/argument_check.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <type_traits>

#include "common/util/ansi_text.h"

namespace {

// A string argument must be readable for this many characters and is shown
// with at most this many.
constexpr UINT_PTR kStringArgumentProbe = 1024;

enum class SizePrefix { None, HH, H, L, LL, BigL, W, I, I32, I64 };

// The type a directive takes from the argument list. NoArgument is "%%";
// SChar and UChar (hh) exist for the formatter only.
enum class ArgType {
    NoArgument, Invalid,
    Char, WChar, Short, Long, Int64, Int, UShort, ULong, UInt64, UInt,
    Double, LongDouble, IntPtr, VoidPtr, CharPtr, WCharPtr,
    SChar, UChar,
};

struct ArgTypeInfo {
    const wchar_t* name;
    std::size_t slotBytes; // what must be readable in the argument list
};

// In ArgType order.
constexpr ArgTypeInfo kArgTypes[] = {
    {L"", 0}, {L"", 0},
    {L"char", 1}, {L"wchar_t", 2}, {L"short int", 2}, {L"long int", 4}, {L"__int64", 8},
    {L"int", 4}, {L"unsigned short int", 2}, {L"long unsigned int", 4},
    {L"unsigned __int64", 8}, {L"unsigned int", 4},
    {L"double", 8}, {L"long double", 8}, // msvcrt's long double is a double
    {L"int*", sizeof(void*)}, {L"void*", sizeof(void*)},
    {L"char*", sizeof(void*)}, {L"wchar_t*", sizeof(void*)},
    {L"signed char", 1}, {L"unsigned char", 1},
};
static_assert(sizeof(kArgTypes) / sizeof(kArgTypes[0]) == static_cast<std::size_t>(ArgType::UChar) + 1,
              "one entry per ArgType");

const ArgTypeInfo& InfoOf(ArgType type) noexcept
{
    return kArgTypes[static_cast<std::size_t>(type)];
}

// One printf directive as the scanner sees it, from its '%' on.
struct Directive {
    std::size_t length = 0;      // through the conversion character
    std::size_t prefixStart = 0; // where the size prefix begins
    int stars = 0;               // '*' widths and precisions, one int each
    SizePrefix size = SizePrefix::None;
    unsigned conversion = 0;     // 0 when the format ends inside the directive
};

template <typename Char>
Directive ParseDirective(const Char* percent) noexcept
{
    Directive d;
    const Char* p = percent + 1;
    while (*p == ' ' || *p == '#' || *p == '+' || *p == '-' || *p == '0') {
        ++p;
    }
    while ((*p >= '0' && *p <= '9') || *p == '.' || *p == '*') {
        if (*p == '*') {
            ++d.stars;
        }
        ++p;
    }
    d.prefixStart = static_cast<std::size_t>(p - percent);
    switch (*p) {
    case 'h':
        d.size = p[1] == 'h' ? SizePrefix::HH : SizePrefix::H;
        p += d.size == SizePrefix::HH ? 2 : 1;
        break;
    case 'l':
        d.size = p[1] == 'l' ? SizePrefix::LL : SizePrefix::L;
        p += d.size == SizePrefix::LL ? 2 : 1;
        break;
    case 'L':
        d.size = SizePrefix::BigL;
        ++p;
        break;
    case 'w':
        d.size = SizePrefix::W;
        ++p;
        break;
    case 'I':
        if (p[1] == '6' && p[2] == '4') {
            d.size = SizePrefix::I64;
            p += 3;
        } else if (p[1] == '3' && p[2] == '2') {
            d.size = SizePrefix::I32;
            p += 3;
        } else {
            d.size = SizePrefix::I;
            ++p;
        }
        break;
    default:
        break;
    }
    d.conversion = static_cast<std::make_unsigned_t<Char>>(*p);
    d.length = static_cast<std::size_t>(p - percent) + (*p != 0 ? 1 : 0);
    return d;
}

// The logger's conversion table. With runtimeExtensions the formatter also
// takes what the C runtime knows beyond it (hh, ll, L, w, I, I32, %a), so
// that an unchecked format still pulls every argument with its right type.
ArgType ArgumentTypeOf(bool wideFormat, const Directive& d, bool runtimeExtensions) noexcept
{
    const SizePrefix size = d.size;
    const bool tablePrefix = size == SizePrefix::None || size == SizePrefix::H ||
                             size == SizePrefix::L || size == SizePrefix::I64;
    if (!tablePrefix && !runtimeExtensions) {
        return ArgType::Invalid;
    }
    const bool is64 = size == SizePrefix::I64 || size == SizePrefix::LL || size == SizePrefix::I;
    switch (d.conversion) {
    case '%':
        return ArgType::NoArgument;
    case 'c':
    case 'C':
    case 's':
    case 'S': {
        // Unprefixed, the lower-case letter takes the format's own character kind.
        const bool lower = d.conversion == 'c' || d.conversion == 's';
        const bool wideArgument = size == SizePrefix::H                            ? false
                                  : size == SizePrefix::L || size == SizePrefix::W ? true
                                                                                   : lower == wideFormat;
        if (d.conversion == 'c' || d.conversion == 'C') {
            return wideArgument ? ArgType::WChar : ArgType::Char;
        }
        return wideArgument ? ArgType::WCharPtr : ArgType::CharPtr;
    }
    case 'd':
    case 'i':
        return size == SizePrefix::H      ? ArgType::Short
               : size == SizePrefix::L    ? ArgType::Long
               : is64                     ? ArgType::Int64
               : size == SizePrefix::HH   ? ArgType::SChar
               : size == SizePrefix::None || size == SizePrefix::I32 ? ArgType::Int
                                                                     : ArgType::Invalid;
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        return size == SizePrefix::H      ? ArgType::UShort
               : size == SizePrefix::L    ? ArgType::ULong
               : is64                     ? ArgType::UInt64
               : size == SizePrefix::HH   ? ArgType::UChar
               : size == SizePrefix::None || size == SizePrefix::I32 ? ArgType::UInt
                                                                     : ArgType::Invalid;
    case 'a':
    case 'A':
        return runtimeExtensions ? ArgType::Double : ArgType::Invalid;
    case 'e':
    case 'E':
    case 'g':
    case 'G':
        return ArgType::Double;
    case 'f':
        return size == SizePrefix::L || size == SizePrefix::BigL ? ArgType::LongDouble : ArgType::Double;
    case 'n':
        return ArgType::IntPtr;
    case 'p':
        return ArgType::VoidPtr;
    default:
        return ArgType::Invalid;
    }
}

// Wide printf into a string of the exact length.
std::wstring Printed(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    std::wstring text;
    const int length = _vscwprintf(format, args);
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        const int written = _vsnwprintf(&text[0], text.size(), format, again);
        text.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    }
    va_end(again);
    va_end(args);
    return text;
}

std::wstring BadPointer(const void* pointer)
{
    return Printed(L"BAD_PTR(%p)", pointer);
}

bool IsBadText(const char* text, UINT_PTR length) noexcept
{
    return ::IsBadStringPtrA(text, length) != FALSE;
}

bool IsBadText(const wchar_t* text, UINT_PTR length) noexcept
{
    return ::IsBadStringPtrW(text, length) != FALSE;
}

std::size_t BoundedLength(const char* text, std::size_t limit) noexcept
{
    return strnlen(text, limit);
}

std::size_t BoundedLength(const wchar_t* text, std::size_t limit) noexcept
{
    return wcsnlen(text, limit);
}

std::wstring WideText(const wchar_t* text, std::size_t length)
{
    return std::wstring(text, length);
}

std::wstring WideText(const char* text, std::size_t length)
{
    return AnsiToWide(std::string(text, length).c_str());
}

// Reads and renders one argument at a time from the checker's copy of the
// list; nothing is read before it has been probed.
class ArgumentReader {
public:
    ArgumentReader(va_list& args, ArgumentCheck& result, bool render) noexcept
        : args_(args), result_(result), render_(render)
    {
    }

    // False when the argument is bad; it is counted either way, and rendered
    // when the reader renders.
    bool Take(ArgType type)
    {
        const void* slot = args_;
        bool good = ::IsBadReadPtr(slot, InfoOf(type).slotBytes) == FALSE;
        if (!render_) {
            ++result_.argCount;
            return good && Probe(type);
        }
        std::wstring value;
        if (good) {
            good = Read(type, value);
        } else {
            value = BadPointer(slot);
        }
        ++result_.argCount;
        result_.rendered += Printed(L"arg[%d](%s)=%s ", result_.argCount, InfoOf(type).name, value.c_str());
        return good;
    }

private:
    template <typename Char>
    bool ReadString(std::wstring& value)
    {
        const Char* text = va_arg(args_, const Char*);
        if (text == nullptr) {
            value = L"null";
            return true;
        }
        if (IsBadText(text, kStringArgumentProbe)) {
            value = BadPointer(text);
            return false;
        }
        value = WideText(text, BoundedLength(text, kStringArgumentProbe));
        return true;
    }

    bool Read(ArgType type, std::wstring& value)
    {
        switch (type) {
        case ArgType::Char: {
            // Promoted to int by the caller; a zero character shows as nothing.
            const char text[2] = {static_cast<char>(va_arg(args_, int)), '\0'};
            value = AnsiToWide(text);
            return true;
        }
        case ArgType::WChar: {
            const wchar_t character = static_cast<wchar_t>(va_arg(args_, int));
            value.assign(character != L'\0' ? 1 : 0, character);
            return true;
        }
        case ArgType::Short:
            value = Printed(L"%i", static_cast<int>(static_cast<short>(va_arg(args_, int))));
            return true;
        case ArgType::Int:
        case ArgType::Long:
            value = Printed(L"%i", va_arg(args_, int));
            return true;
        case ArgType::UShort:
            value = Printed(L"%u", static_cast<unsigned>(static_cast<unsigned short>(va_arg(args_, int))));
            return true;
        case ArgType::UInt:
        case ArgType::ULong:
            value = Printed(L"%u", va_arg(args_, unsigned));
            return true;
        case ArgType::Int64:
            value = Printed(L"%I64i", va_arg(args_, long long));
            return true;
        case ArgType::UInt64:
            value = Printed(L"%I64u", va_arg(args_, unsigned long long));
            return true;
        case ArgType::Double:
            value = Printed(L"%f", va_arg(args_, double));
            return true;
        case ArgType::LongDouble:
            value = Printed(L"%lf", va_arg(args_, double));
            return true;
        case ArgType::IntPtr: {
            const int* target = va_arg(args_, const int*);
            const bool good = target != nullptr && ::IsBadReadPtr(target, sizeof(int)) == FALSE;
            value = good ? Printed(L"%p", target) : BadPointer(target);
            return good;
        }
        case ArgType::VoidPtr:
            value = Printed(L"%p", va_arg(args_, const void*));
            return true;
        case ArgType::CharPtr:
            return ReadString<char>(value);
        case ArgType::WCharPtr:
            return ReadString<wchar_t>(value);
        default:
            return false;
        }
    }

    // What Read checks, without rendering anything: the common case of an
    // entry that is valid costs no text.
    bool Probe(ArgType type) noexcept
    {
        switch (type) {
        case ArgType::Int64:
        case ArgType::UInt64:
            va_arg(args_, long long);
            return true;
        case ArgType::Double:
        case ArgType::LongDouble:
            va_arg(args_, double);
            return true;
        case ArgType::IntPtr: {
            const int* target = va_arg(args_, const int*);
            return target != nullptr && ::IsBadReadPtr(target, sizeof(int)) == FALSE;
        }
        case ArgType::VoidPtr:
            va_arg(args_, const void*);
            return true;
        case ArgType::CharPtr: {
            const char* text = va_arg(args_, const char*);
            return text == nullptr || !IsBadText(text, kStringArgumentProbe);
        }
        case ArgType::WCharPtr: {
            const wchar_t* text = va_arg(args_, const wchar_t*);
            return text == nullptr || !IsBadText(text, kStringArgumentProbe);
        }
        case ArgType::NoArgument:
        case ArgType::Invalid:
            return false;
        default:  // the types promoted to int
            va_arg(args_, int);
            return true;
        }
    }

    va_list& args_;
    ArgumentCheck& result_;
    bool render_;
};

template <typename Char>
void CheckFormat(const Char* format, va_list args, bool render, ArgumentCheck& result)
{
    // The whole format is probed, not only its first 1024 characters, since
    // the scan below reads it to the end.
    if (IsBadText(format, static_cast<UINT_PTR>(-1))) {
        return;
    }
    const bool wideFormat = std::is_same<Char, wchar_t>::value;
    va_list copy;
    va_copy(copy, args);
    ArgumentReader reader(copy, result, render);
    bool good = true;
    for (const Char* p = format; good && *p != 0;) {
        if (*p != '%') {
            ++p;
            continue;
        }
        const Directive d = ParseDirective(p);
        for (int star = 0; good && star < d.stars; ++star) {
            good = reader.Take(ArgType::Int);
        }
        if (!good) {
            break;
        }
        const ArgType type = ArgumentTypeOf(wideFormat, d, false);
        if (type == ArgType::Invalid) {
            good = false;
        } else if (type != ArgType::NoArgument) {
            good = reader.Take(type);
        }
        p += d.length;
    }
    va_end(copy);
    result.valid = good;
}

// "<null>", "BAD_PTR(...)" or the text itself.
template <typename Char>
std::wstring ShownText(const Char* text)
{
    if (text == nullptr) {
        return L"<null>";
    }
    if (IsBadText(text, static_cast<UINT_PTR>(-1))) {
        return BadPointer(text);
    }
    return WideText(text, BoundedLength(text, static_cast<std::size_t>(-1)));
}

// The part of the caller's buffer still free; the last unit is kept for the
// terminator.
template <typename Char>
class TextOutput {
public:
    TextOutput(Char* buffer, std::size_t size) noexcept : buffer_(buffer), capacity_(size - 1) {}

    Char* Cursor() const noexcept { return buffer_ + written_; }
    std::size_t Room() const noexcept { return capacity_ - written_; }
    bool Cut() const noexcept { return cut_; }

    void Append(const Char* text, std::size_t count) noexcept
    {
        const std::size_t taken = count < Room() ? count : Room();
        std::memcpy(Cursor(), text, taken * sizeof(Char));
        written_ += taken;
        cut_ = cut_ || taken < count;
    }
    void Advance(std::size_t count) noexcept { written_ += count; }
    void Fill() noexcept
    {
        written_ = capacity_;
        cut_ = true;
    }
    int Finish() noexcept
    {
        buffer_[written_] = 0;
        return cut_ ? -1 : static_cast<int>(written_);
    }

private:
    Char* buffer_;
    std::size_t capacity_;
    std::size_t written_ = 0;
    bool cut_ = false;
};

int RuntimePrint(wchar_t* buffer, std::size_t count, const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    const int result = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return result;
}

int RuntimePrint(char* buffer, std::size_t count, const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    const int result = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return result;
}

int RuntimeCount(const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    const int result = _vscwprintf(format, args);
    va_end(args);
    return result;
}

int RuntimeCount(const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    const int result = _vscprintf(format, args);
    va_end(args);
    return result;
}

// A single directive rewritten for the C runtime: '*' replaced by the values
// already taken and the size prefix normalised, so that the runtime never
// takes more than the one argument it is handed.
template <typename Char>
class RuntimeDirective {
public:
    static constexpr int kMaxStars = 4;

    RuntimeDirective(const Char* percent, const Directive& d, const int* stars) noexcept
    {
        if (d.stars > kMaxStars) {
            overflow_ = true;
            return;
        }
        Put('%');
        bool leftAlign = false;
        for (std::size_t i = 1, star = 0; i < d.prefixStart; ++i) {
            if (percent[i] == '*') {
                leftAlign = leftAlign || (percent[i - 1] != '.' && stars[star] < 0);
                ++star;
            }
        }
        if (leftAlign) {
            Put('-'); // a negative '*' width means left alignment
        }
        for (std::size_t i = 1, star = 0; i < d.prefixStart; ++i) {
            if (percent[i] != '*') {
                Put(percent[i]);
                continue;
            }
            const int value = stars[star++];
            if (percent[i - 1] == '.' && value < 0) {
                --length_; // a negative precision counts as none
                continue;
            }
            PutNumber(value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value));
        }
    }

    // False when the directive did not fit; the caller then shows it as it stands.
    bool Finish(const char* prefix, Char conversion) noexcept
    {
        while (*prefix != '\0') {
            Put(static_cast<Char>(*prefix++));
        }
        Put(conversion);
        Put(0);
        return !overflow_;
    }

    const Char* Text() const noexcept { return text_; }

private:
    void Put(Char c) noexcept
    {
        if (length_ < kCapacity) {
            text_[length_++] = c;
        } else {
            overflow_ = true;
        }
    }
    void PutNumber(unsigned value) noexcept
    {
        Char digits[16];
        int count = 0;
        do {
            digits[count++] = static_cast<Char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0) {
            Put(digits[--count]);
        }
    }

    static constexpr std::size_t kCapacity = 64;
    Char text_[kCapacity] = {};
    std::size_t length_ = 0;
    bool overflow_ = false;
};

template <typename Char>
class Formatter {
public:
    Formatter(Char* buffer, std::size_t size, va_list& args) noexcept : out_(buffer, size), args_(args) {}

    int Run(const Char* format) noexcept
    {
        const Char* p = format;
        while (*p != 0 && !out_.Cut()) {
            const Char* literal = p;
            while (*p != 0 && *p != '%') {
                ++p;
            }
            out_.Append(literal, static_cast<std::size_t>(p - literal));
            if (*p != 0 && !out_.Cut()) {
                p += FormatDirective(p);
            }
        }
        return out_.Finish();
    }

private:
    // Formats the directive at `percent`; returns its length.
    std::size_t FormatDirective(const Char* percent) noexcept
    {
        const Directive d = ParseDirective(percent);
        const ArgType type = ArgumentTypeOf(std::is_same<Char, wchar_t>::value, d, true);
        if (type == ArgType::Invalid) {
            out_.Append(percent, d.length);
            return d.length;
        }
        int stars[RuntimeDirective<Char>::kMaxStars] = {};
        for (int star = 0; star < d.stars; ++star) {
            const int value = va_arg(args_, int);
            if (star < RuntimeDirective<Char>::kMaxStars) {
                stars[star] = value;
            }
        }
        const Char conversion = static_cast<Char>(d.conversion);
        RuntimeDirective<Char> directive(percent, d, stars);
        switch (type) {
        case ArgType::NoArgument: {
            const Char percentSign = '%';
            out_.Append(&percentSign, 1);
            break;
        }
        case ArgType::IntPtr:
            // Never written through: the count is of no use to a logger and
            // the pointer may be anything.
            (void)va_arg(args_, int*);
            break;
        case ArgType::Char:
            Emit(directive, "h", 'c', va_arg(args_, int), percent, d);
            break;
        case ArgType::WChar:
            Emit(directive, "l", 'c', va_arg(args_, int), percent, d);
            break;
        case ArgType::Short:
        case ArgType::UShort:
            Emit(directive, "h", conversion, va_arg(args_, int), percent, d);
            break;
        case ArgType::SChar:
            Emit(directive, "", conversion, static_cast<int>(static_cast<signed char>(va_arg(args_, int))),
                 percent, d);
            break;
        case ArgType::UChar:
            Emit(directive, "", conversion, static_cast<int>(static_cast<unsigned char>(va_arg(args_, int))),
                 percent, d);
            break;
        case ArgType::Int64:
        case ArgType::UInt64:
            Emit(directive, "I64", conversion, va_arg(args_, long long), percent, d);
            break;
        case ArgType::Double:
        case ArgType::LongDouble:
            Emit(directive, "", conversion, va_arg(args_, double), percent, d);
            break;
        case ArgType::VoidPtr:
            Emit(directive, "", conversion, va_arg(args_, const void*), percent, d);
            break;
        case ArgType::CharPtr:
            Emit(directive, "h", 's', va_arg(args_, const char*), percent, d);
            break;
        case ArgType::WCharPtr:
            Emit(directive, "l", 's', va_arg(args_, const wchar_t*), percent, d);
            break;
        default: // int, long and their unsigned forms: 32 bits on Windows
            Emit(directive, "", conversion, va_arg(args_, int), percent, d);
            break;
        }
        return d.length;
    }

    template <typename T>
    void Emit(RuntimeDirective<Char>& directive, const char* prefix, Char conversion, T value,
              const Char* percent, const Directive& d) noexcept
    {
        if (!directive.Finish(prefix, conversion)) {
            out_.Append(percent, d.length);
            return;
        }
        const int written = RuntimePrint(out_.Cursor(), out_.Room(), directive.Text(), value);
        if (written >= 0 && static_cast<std::size_t>(written) <= out_.Room()) {
            out_.Advance(static_cast<std::size_t>(written));
        } else if (RuntimeCount(directive.Text(), value) >= 0) {
            out_.Fill(); // the runtime filled the room and stopped
        }
        // Otherwise the runtime refused the value (a character the code page
        // lacks): the directive adds nothing.
    }

    TextOutput<Char> out_;
    va_list& args_;
};

template <typename Char>
int FormatText(Char* buffer, std::size_t size, const Char* format, va_list args) noexcept
{
    if (buffer == nullptr || size == 0) {
        return -1;
    }
    if (format == nullptr) {
        buffer[0] = 0;
        return -1;
    }
    va_list copy;
    va_copy(copy, args);
    const int result = Formatter<Char>(buffer, size, copy).Run(format);
    va_end(copy);
    return result;
}

} // namespace

ArgumentCheck CheckLogArguments(LogCharKind kind, const void* format, va_list args,
                                ArgumentRendering rendering) noexcept
{
    ArgumentCheck result;
    try {
        // A second pass renders the arguments, only for an entry that failed.
        for (const bool render : {false, true}) {
            if (!render && rendering == ArgumentRendering::Always) {
                continue;
            }
            result = ArgumentCheck();
            if (kind == LogCharKind::Wide) {
                CheckFormat(static_cast<const wchar_t*>(format), args, render, result);
            } else {
                CheckFormat(static_cast<const char*>(format), args, render, result);
            }
            if (result.valid) {
                break;
            }
        }
    } catch (...) {
        // Out of memory while rendering: the entry cannot be vouched for.
        result.valid = false;
    }
    return result;
}

std::wstring InvalidLogEntryText(LogCharKind kind, int level, int eventId, const void* format,
                                 const void* user, const ArgumentCheck& check) noexcept
{
    try {
        const bool wide = kind == LogCharKind::Wide;
        const std::wstring formatText = wide ? ShownText(static_cast<const wchar_t*>(format))
                                             : ShownText(static_cast<const char*>(format));
        const std::wstring userText = wide ? ShownText(static_cast<const wchar_t*>(user))
                                           : ShownText(static_cast<const char*>(user));
        return Printed(L"Invalid log entry - Level:%d, EventId:%d(0x%08X), Format:%s, User:%s, ArgCount:%d, Args:%s",
                       level, eventId & 0xFFFF, static_cast<unsigned>(eventId), formatText.c_str(),
                       userText.c_str(), check.argCount,
                       check.rendered.empty() ? L"<null>" : check.rendered.c_str());
    } catch (...) {
        return std::wstring();
    }
}

int FormatLogText(wchar_t* buffer, std::size_t size, const wchar_t* format, va_list args) noexcept
{
    return FormatText(buffer, size, format, args);
}

int FormatLogText(char* buffer, std::size_t size, const char* format, va_list args) noexcept
{
    return FormatText(buffer, size, format, args);
}
