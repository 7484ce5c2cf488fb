#include "common/util/print_format.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <type_traits>

namespace {

template <typename Char>
PrintDirective ParseAt(const Char* percent) noexcept
{
    PrintDirective d;
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
        d.size = p[1] == 'h' ? PrintSizePrefix::HH : PrintSizePrefix::H;
        p += d.size == PrintSizePrefix::HH ? 2 : 1;
        break;
    case 'l':
        d.size = p[1] == 'l' ? PrintSizePrefix::LL : PrintSizePrefix::L;
        p += d.size == PrintSizePrefix::LL ? 2 : 1;
        break;
    case 'L':
        d.size = PrintSizePrefix::BigL;
        ++p;
        break;
    case 'w':
        d.size = PrintSizePrefix::W;
        ++p;
        break;
    case 'I':
        if (p[1] == '6' && p[2] == '4') {
            d.size = PrintSizePrefix::I64;
            p += 3;
        } else if (p[1] == '3' && p[2] == '2') {
            d.size = PrintSizePrefix::I32;
            p += 3;
        } else {
            d.size = PrintSizePrefix::I;
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

    RuntimeDirective(const Char* percent, const PrintDirective& d, const int* stars) noexcept
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
        const PrintDirective d = ParseDirective(percent);
        const PrintArgType type = ArgumentTypeOf(std::is_same<Char, wchar_t>::value, d, true);
        if (type == PrintArgType::Invalid) {
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
        case PrintArgType::NoArgument: {
            const Char percentSign = '%';
            out_.Append(&percentSign, 1);
            break;
        }
        case PrintArgType::IntPtr:
            // Never written through: the count is of no use to the library's
            // texts and the pointer may be anything.
            (void)va_arg(args_, int*);
            break;
        case PrintArgType::Char:
            Emit(directive, "h", 'c', va_arg(args_, int), percent, d);
            break;
        case PrintArgType::WChar:
            Emit(directive, "l", 'c', va_arg(args_, int), percent, d);
            break;
        case PrintArgType::Short:
        case PrintArgType::UShort:
            Emit(directive, "h", conversion, va_arg(args_, int), percent, d);
            break;
        case PrintArgType::SChar:
            Emit(directive, "", conversion, static_cast<int>(static_cast<signed char>(va_arg(args_, int))),
                 percent, d);
            break;
        case PrintArgType::UChar:
            Emit(directive, "", conversion, static_cast<int>(static_cast<unsigned char>(va_arg(args_, int))),
                 percent, d);
            break;
        case PrintArgType::Int64:
        case PrintArgType::UInt64:
            Emit(directive, "I64", conversion, va_arg(args_, long long), percent, d);
            break;
        case PrintArgType::Double:
        case PrintArgType::LongDouble:
            Emit(directive, "", conversion, va_arg(args_, double), percent, d);
            break;
        case PrintArgType::VoidPtr:
            Emit(directive, "", conversion, va_arg(args_, const void*), percent, d);
            break;
        case PrintArgType::CharPtr:
            Emit(directive, "h", 's', va_arg(args_, const char*), percent, d);
            break;
        case PrintArgType::WCharPtr:
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
              const Char* percent, const PrintDirective& d) noexcept
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

PrintDirective ParseDirective(const wchar_t* percent) noexcept
{
    return ParseAt(percent);
}

PrintDirective ParseDirective(const char* percent) noexcept
{
    return ParseAt(percent);
}

PrintArgType ArgumentTypeOf(bool wideFormat, const PrintDirective& d, bool runtimeExtensions) noexcept
{
    const PrintSizePrefix size = d.size;
    const bool tablePrefix = size == PrintSizePrefix::None || size == PrintSizePrefix::H ||
                             size == PrintSizePrefix::L || size == PrintSizePrefix::I64;
    if (!tablePrefix && !runtimeExtensions) {
        return PrintArgType::Invalid;
    }
    const bool is64 = size == PrintSizePrefix::I64 || size == PrintSizePrefix::LL || size == PrintSizePrefix::I;
    switch (d.conversion) {
    case '%':
        return PrintArgType::NoArgument;
    case 'c':
    case 'C':
    case 's':
    case 'S': {
        // Unprefixed, the lower-case letter takes the format's own character kind.
        const bool lower = d.conversion == 'c' || d.conversion == 's';
        const bool wideArgument = size == PrintSizePrefix::H                            ? false
                                  : size == PrintSizePrefix::L || size == PrintSizePrefix::W ? true
                                                                                   : lower == wideFormat;
        if (d.conversion == 'c' || d.conversion == 'C') {
            return wideArgument ? PrintArgType::WChar : PrintArgType::Char;
        }
        return wideArgument ? PrintArgType::WCharPtr : PrintArgType::CharPtr;
    }
    case 'd':
    case 'i':
        return size == PrintSizePrefix::H      ? PrintArgType::Short
               : size == PrintSizePrefix::L    ? PrintArgType::Long
               : is64                     ? PrintArgType::Int64
               : size == PrintSizePrefix::HH   ? PrintArgType::SChar
               : size == PrintSizePrefix::None || size == PrintSizePrefix::I32 ? PrintArgType::Int
                                                                     : PrintArgType::Invalid;
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        return size == PrintSizePrefix::H      ? PrintArgType::UShort
               : size == PrintSizePrefix::L    ? PrintArgType::ULong
               : is64                     ? PrintArgType::UInt64
               : size == PrintSizePrefix::HH   ? PrintArgType::UChar
               : size == PrintSizePrefix::None || size == PrintSizePrefix::I32 ? PrintArgType::UInt
                                                                     : PrintArgType::Invalid;
    case 'a':
    case 'A':
        return runtimeExtensions ? PrintArgType::Double : PrintArgType::Invalid;
    case 'e':
    case 'E':
    case 'g':
    case 'G':
        return PrintArgType::Double;
    case 'f':
        return size == PrintSizePrefix::L || size == PrintSizePrefix::BigL ? PrintArgType::LongDouble : PrintArgType::Double;
    case 'n':
        return PrintArgType::IntPtr;
    case 'p':
        return PrintArgType::VoidPtr;
    default:
        return PrintArgType::Invalid;
    }
}

int FormatPrintText(wchar_t* buffer, std::size_t size, const wchar_t* format, va_list args) noexcept
{
    return FormatText(buffer, size, format, args);
}

int FormatPrintText(char* buffer, std::size_t size, const char* format, va_list args) noexcept
{
    return FormatText(buffer, size, format, args);
}
