#include "common/util/kov_string.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <utility>

#include "common/util/ansi_text.h"
#include "common/util/print_format.h"

namespace {

// Zeroes the whole allocation before handing it back. SecureZeroMemory writes
// through a volatile pointer, so the optimiser cannot drop it as a dead store.
template <typename Char>
struct ZeroingDelete {
    std::size_t units = 0;

    void operator()(Char* buffer) const noexcept
    {
        ::SecureZeroMemory(buffer, units * sizeof(Char));
        delete[] buffer;
    }
};

template <typename Char>
using SecureBuffer = std::unique_ptr<Char[], ZeroingDelete<Char>>;
using WideBuffer = SecureBuffer<wchar_t>;
using NarrowBuffer = SecureBuffer<char>;

// `units` units, all zero.
template <typename Char>
SecureBuffer<Char> AllocateBuffer(std::size_t units)
{
    return SecureBuffer<Char>(new Char[units](), ZeroingDelete<Char>{units});
}

// A terminated copy of `count` units; none for an empty text.
WideBuffer CopyText(const wchar_t* text, std::size_t count)
{
    if (text == nullptr || count == 0) {
        return WideBuffer();
    }
    WideBuffer copy = AllocateBuffer<wchar_t>(count + 1);
    std::memcpy(copy.get(), text, count * sizeof(wchar_t));
    return copy;
}

// Moves a conversion's result into an owned buffer and wipes the string it
// came in, which would otherwise go back to the heap as it is.
template <typename Char>
SecureBuffer<Char> TakeConverted(std::basic_string<Char>& converted, bool keepEmpty)
{
    SecureBuffer<Char> buffer;
    if (!converted.empty() || keepEmpty) {
        buffer = AllocateBuffer<Char>(converted.size() + 1);
        std::memcpy(buffer.get(), converted.data(), converted.size() * sizeof(Char));
    }
    ::SecureZeroMemory(&converted[0], converted.size() * sizeof(Char));
    return buffer;
}

// `length` bytes, -1 up to the terminator, by the library's narrow rule.
WideBuffer Widen(const char* text, int length, bool windows1252)
{
    std::wstring wide =
        NarrowToWide(text, length < 0 ? kWholeText : static_cast<std::size_t>(length), windows1252);
    return TakeConverted(wide, false);
}

NarrowBuffer Narrow(const wchar_t* text, bool windows1252)
{
    std::string narrow = WideToNarrow(text, kWholeText, windows1252);
    return TakeConverted(narrow, true);
}

WideBuffer FromCodePage(unsigned codePage, const char* bytes, int length)
{
    if (bytes == nullptr) {
        return WideBuffer();
    }
    if (length < 0) {
        length = static_cast<int>(std::strlen(bytes));
    }
    if (length == 0) {
        return WideBuffer();
    }
    const int units = ::MultiByteToWideChar(codePage, 0, bytes, length, nullptr, 0);
    if (units <= 0) {
        return WideBuffer();
    }
    WideBuffer text = AllocateBuffer<wchar_t>(static_cast<std::size_t>(units) + 1);
    if (::MultiByteToWideChar(codePage, 0, bytes, length, text.get(), units) != units) {
        return WideBuffer();
    }
    return text;
}

bool IsEmpty(const wchar_t* text) noexcept
{
    return text == nullptr || *text == L'\0';
}

int CompareTexts(const wchar_t* left, const wchar_t* right) noexcept
{
    const bool leftEmpty = IsEmpty(left);
    const bool rightEmpty = IsEmpty(right);
    if (leftEmpty || rightEmpty) {
        return (leftEmpty ? 0 : 1) - (rightEmpty ? 0 : 1);
    }
    // wchar_t is an unsigned 16-bit unit here, so this is ordinal.
    const int order = std::wcscmp(left, right);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

int ByteLength(const char* form) noexcept
{
    return form != nullptr ? static_cast<int>(std::strlen(form)) : 0;
}

std::size_t ScratchUnits(std::int32_t formatLimit) noexcept
{
    return formatLimit > 0 ? static_cast<std::size_t>(formatLimit) : 1;
}

} // namespace

class KOVString::StringData {
public:
    StringData() = default;
    explicit StringData(WideBuffer initial) noexcept : text(std::move(initial)) {}
    StringData(const StringData&) = delete;
    StringData& operator=(const StringData&) = delete;
    // The owners zero and free the text and the forms.
    virtual ~StringData() = default;

    void DropForms() noexcept
    {
        acpForm.reset();
        cp1252Form.reset();
        utf8Form.reset();
    }

    // The new text is built before the old one goes, so a source that points
    // into this string stays valid while it is read.
    void Replace(WideBuffer next) noexcept
    {
        DropForms();
        text = std::move(next);
    }

    WideBuffer text;
    NarrowBuffer acpForm;
    NarrowBuffer cp1252Form;
    NarrowBuffer utf8Form;
    wchar_t nullUnit = L'\0';
};

KOVString::KOVString() : data_(std::make_unique<StringData>()) {}

KOVString::KOVString(const wchar_t* text)
    : data_(std::make_unique<StringData>(CopyText(text, text != nullptr ? std::wcslen(text) : 0)))
{
}

KOVString::KOVString(const char* text, bool windows1252)
    : data_(std::make_unique<StringData>(Widen(text, -1, windows1252)))
{
}

KOVString::KOVString(const char* bytes, int length, unsigned codePage)
    : data_(std::make_unique<StringData>(FromCodePage(codePage, bytes, length)))
{
}

KOVString::KOVString(const KOVString& other)
    : data_(std::make_unique<StringData>(CopyText(other.Text(), static_cast<std::size_t>(other.Length()))))
{
}

KOVString::~KOVString() = default;

KOVString& KOVString::operator=(const KOVString& other)
{
    if (this != &other) {
        data_ = std::make_unique<StringData>(CopyText(other.Text(), static_cast<std::size_t>(other.Length())));
        formatLimit_ = other.formatLimit_;
    }
    return *this;
}

KOVString& KOVString::operator=(const wchar_t* text)
{
    data_ = std::make_unique<StringData>(CopyText(text, text != nullptr ? std::wcslen(text) : 0));
    return *this;
}

KOVString& KOVString::operator=(const char* text)
{
    data_ = std::make_unique<StringData>(Widen(text, -1, AnsiCodePageIs1252()));
    return *this;
}

const wchar_t* KOVString::SetText(const wchar_t* text, std::size_t count)
{
    data_->Replace(CopyText(text, count));
    return Text();
}

const wchar_t* KOVString::SetWindows1252(const char* text, int length)
{
    return SetNarrow(text, length, true);
}

const wchar_t* KOVString::SetAnsi(const char* text, int length)
{
    return SetNarrow(text, length, AnsiCodePageIs1252());
}

const wchar_t* KOVString::SetNarrow(const char* text, int length, bool windows1252)
{
    data_->Replace(Widen(text, length, windows1252));
    return Text();
}

int KOVString::SetUtf8(const char* bytes, int length)
{
    data_->Replace(FromCodePage(CP_UTF8, bytes, length));
    return Length();
}

KOVString& KOVString::Append(const wchar_t* text)
{
    if (IsEmpty(text)) {
        return *this;
    }
    const std::size_t current = static_cast<std::size_t>(Length());
    const std::size_t added = std::wcslen(text);
    WideBuffer joined = AllocateBuffer<wchar_t>(current + added + 1);
    if (current > 0) {
        std::memcpy(joined.get(), data_->text.get(), current * sizeof(wchar_t));
    }
    std::memcpy(joined.get() + current, text, added * sizeof(wchar_t));
    data_->Replace(std::move(joined));
    return *this;
}

KOVString& KOVString::Append(const KOVString& other)
{
    return Append(other.Text());
}

KOVString& KOVString::Append(const char* text)
{
    return Append(text, AnsiCodePageIs1252());
}

KOVString& KOVString::Append(const char* text, bool windows1252)
{
    if (text == nullptr) {
        return *this;
    }
    const WideBuffer wide = Widen(text, -1, windows1252);
    return Append(wide.get());
}

int KOVString::Format(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = FormatV(format, args);
    va_end(args);
    return result;
}

int KOVString::Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = FormatV(format, args);
    va_end(args);
    return result;
}

int KOVString::FormatV(const wchar_t* format, va_list args)
{
    const std::size_t units = ScratchUnits(formatLimit_);
    const WideBuffer scratch = AllocateBuffer<wchar_t>(units);
    const int result = FormatPrintText(scratch.get(), units, format, args);
    scratch[units - 1] = L'\0';
    data_->Replace(CopyText(scratch.get(), std::wcslen(scratch.get())));
    return result;
}

int KOVString::FormatV(const char* format, va_list args)
{
    const std::size_t bytes = ScratchUnits(formatLimit_);
    const NarrowBuffer scratch = AllocateBuffer<char>(bytes);
    const int result = FormatPrintText(scratch.get(), bytes, format, args);
    scratch[bytes - 1] = '\0';
    data_->Replace(Widen(scratch.get(), -1, false));
    return result < 0 ? result : Length();
}

int KOVString::AppendFormat(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = AppendFormatV(format, args);
    va_end(args);
    return result;
}

int KOVString::AppendFormat(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = AppendFormatV(format, args);
    va_end(args);
    return result;
}

int KOVString::AppendFormatV(const wchar_t* format, va_list args)
{
    KOVString part;
    part.formatLimit_ = formatLimit_;
    part.FormatV(format, args);
    Append(part);
    return Length();
}

int KOVString::AppendFormatV(const char* format, va_list args)
{
    KOVString part;
    part.formatLimit_ = formatLimit_;
    part.FormatV(format, args);
    Append(part);
    return Length();
}

const wchar_t* KOVString::Text() const noexcept
{
    const wchar_t* text = data_->text.get();
    return IsEmpty(text) ? nullptr : text;
}

int KOVString::Length() const noexcept
{
    const wchar_t* text = Text();
    return text != nullptr ? static_cast<int>(std::wcslen(text)) : 0;
}

const char* KOVString::AcpText() const
{
    const wchar_t* text = Text();
    if (text == nullptr) {
        return nullptr;
    }
    if (!data_->acpForm) {
        data_->acpForm = Narrow(text, false);
    }
    return data_->acpForm.get();
}

const char* KOVString::Windows1252Text() const
{
    const wchar_t* text = Text();
    if (text == nullptr) {
        return nullptr;
    }
    if (!data_->cp1252Form) {
        data_->cp1252Form = Narrow(text, true);
    }
    return data_->cp1252Form.get();
}

const char* KOVString::NarrowText() const
{
    return AnsiCodePageIs1252() ? Windows1252Text() : AcpText();
}

const char* KOVString::Utf8Text() const
{
    const wchar_t* text = Text();
    if (text == nullptr) {
        return nullptr;
    }
    if (!data_->utf8Form) {
        // Four bytes per unit is more than any UTF-16 text needs.
        const int units = Length();
        const std::size_t size = 4 * static_cast<std::size_t>(units) + 1;
        NarrowBuffer utf8 = AllocateBuffer<char>(size);
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, units, utf8.get(),
                                                static_cast<int>(size - 1), nullptr, nullptr);
        if (bytes <= 0) {
            return nullptr;
        }
        data_->utf8Form = std::move(utf8);
    }
    return data_->utf8Form.get();
}

int KOVString::AcpLength() const
{
    return ByteLength(AcpText());
}

int KOVString::Windows1252Length() const
{
    return ByteLength(Windows1252Text());
}

int KOVString::NarrowLength() const
{
    return ByteLength(NarrowText());
}

int KOVString::Utf8Length() const
{
    return ByteLength(Utf8Text());
}

const wchar_t& KOVString::operator[](int index) const noexcept
{
    if (index < 0 || index >= Length()) {
        return data_->nullUnit;
    }
    return data_->text[static_cast<std::size_t>(index)];
}

void KOVString::StripWhiteSpace(int flags)
{
    data_->DropForms();
    wchar_t* text = data_->text.get();
    if (text == nullptr) {
        return;
    }
    const std::size_t length = std::wcslen(text);
    std::size_t begin = 0;
    std::size_t end = length;
    if ((flags & kLeading) != 0) {
        while (begin < end && std::iswspace(text[begin])) {
            ++begin;
        }
    }
    if ((flags & kTrailing) != 0) {
        while (end > begin && std::iswspace(text[end - 1])) {
            --end;
        }
    }
    std::memmove(text, text + begin, (end - begin) * sizeof(wchar_t));
    // Nothing of the dropped units is left behind the terminator.
    std::fill(text + (end - begin), text + length, L'\0');
}

int KOVString::Compare(const KOVString& other) const noexcept
{
    return CompareTexts(Text(), other.Text());
}

int KOVString::Compare(const wchar_t* text) const noexcept
{
    return CompareTexts(Text(), text);
}

int KOVString::Compare(const char* text, bool windows1252) const
{
    const WideBuffer wide = Widen(text, -1, windows1252);
    return CompareTexts(Text(), wide.get());
}
