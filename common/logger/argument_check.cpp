#include "common/logger/argument_check.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <type_traits>

#include "common/util/ansi_text.h"
#include "common/util/print_format.h"

namespace {

// A string argument must be readable for this many characters and is shown
// with at most this many.
constexpr UINT_PTR kStringArgumentProbe = 1024;

struct ArgTypeInfo {
    const wchar_t* name;
    std::size_t slotBytes; // what must be readable in the argument list
};

// In PrintArgType order.
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
static_assert(sizeof(kArgTypes) / sizeof(kArgTypes[0]) == static_cast<std::size_t>(PrintArgType::UChar) + 1,
              "one entry per PrintArgType");

const ArgTypeInfo& InfoOf(PrintArgType type) noexcept
{
    return kArgTypes[static_cast<std::size_t>(type)];
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
    bool Take(PrintArgType type)
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

    bool Read(PrintArgType type, std::wstring& value)
    {
        switch (type) {
        case PrintArgType::Char: {
            // Promoted to int by the caller; a zero character shows as nothing.
            const char text[2] = {static_cast<char>(va_arg(args_, int)), '\0'};
            value = AnsiToWide(text);
            return true;
        }
        case PrintArgType::WChar: {
            const wchar_t character = static_cast<wchar_t>(va_arg(args_, int));
            value.assign(character != L'\0' ? 1 : 0, character);
            return true;
        }
        case PrintArgType::Short:
            value = Printed(L"%i", static_cast<int>(static_cast<short>(va_arg(args_, int))));
            return true;
        case PrintArgType::Int:
        case PrintArgType::Long:
            value = Printed(L"%i", va_arg(args_, int));
            return true;
        case PrintArgType::UShort:
            value = Printed(L"%u", static_cast<unsigned>(static_cast<unsigned short>(va_arg(args_, int))));
            return true;
        case PrintArgType::UInt:
        case PrintArgType::ULong:
            value = Printed(L"%u", va_arg(args_, unsigned));
            return true;
        case PrintArgType::Int64:
            value = Printed(L"%I64i", va_arg(args_, long long));
            return true;
        case PrintArgType::UInt64:
            value = Printed(L"%I64u", va_arg(args_, unsigned long long));
            return true;
        case PrintArgType::Double:
            value = Printed(L"%f", va_arg(args_, double));
            return true;
        case PrintArgType::LongDouble:
            value = Printed(L"%lf", va_arg(args_, double));
            return true;
        case PrintArgType::IntPtr: {
            const int* target = va_arg(args_, const int*);
            const bool good = target != nullptr && ::IsBadReadPtr(target, sizeof(int)) == FALSE;
            value = good ? Printed(L"%p", target) : BadPointer(target);
            return good;
        }
        case PrintArgType::VoidPtr:
            value = Printed(L"%p", va_arg(args_, const void*));
            return true;
        case PrintArgType::CharPtr:
            return ReadString<char>(value);
        case PrintArgType::WCharPtr:
            return ReadString<wchar_t>(value);
        default:
            return false;
        }
    }

    // What Read checks, without rendering anything: the common case of an
    // entry that is valid costs no text.
    bool Probe(PrintArgType type) noexcept
    {
        switch (type) {
        case PrintArgType::Int64:
        case PrintArgType::UInt64:
            va_arg(args_, long long);
            return true;
        case PrintArgType::Double:
        case PrintArgType::LongDouble:
            va_arg(args_, double);
            return true;
        case PrintArgType::IntPtr: {
            const int* target = va_arg(args_, const int*);
            return target != nullptr && ::IsBadReadPtr(target, sizeof(int)) == FALSE;
        }
        case PrintArgType::VoidPtr:
            va_arg(args_, const void*);
            return true;
        case PrintArgType::CharPtr: {
            const char* text = va_arg(args_, const char*);
            return text == nullptr || !IsBadText(text, kStringArgumentProbe);
        }
        case PrintArgType::WCharPtr: {
            const wchar_t* text = va_arg(args_, const wchar_t*);
            return text == nullptr || !IsBadText(text, kStringArgumentProbe);
        }
        case PrintArgType::NoArgument:
        case PrintArgType::Invalid:
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
        const PrintDirective d = ParseDirective(p);
        for (int star = 0; good && star < d.stars; ++star) {
            good = reader.Take(PrintArgType::Int);
        }
        if (!good) {
            break;
        }
        const PrintArgType type = ArgumentTypeOf(wideFormat, d, false);
        if (type == PrintArgType::Invalid) {
            good = false;
        } else if (type != PrintArgType::NoArgument) {
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
    return FormatPrintText(buffer, size, format, args);
}

int FormatLogText(char* buffer, std::size_t size, const char* format, va_list args) noexcept
{
    return FormatPrintText(buffer, size, format, args);
}
