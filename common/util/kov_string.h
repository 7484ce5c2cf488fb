#pragma once

// The library's text class: a UTF-16 text that hands out narrow forms of
// itself (ANSI code page, Windows-1252 table, UTF-8) on demand and caches
// them until the next change. Every string owns its text outright, and every
// buffer it gives back to the heap is overwritten with zeros first, since the
// texts may carry passwords and connection strings.
//
// Null and empty are the same to every reader: Text() and the narrow forms
// answer null for both, and they compare equal.
//
// Not thread-safe, not even for concurrent reads: the cached forms are built
// on read.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>

class KOVString {
public:
    static constexpr std::int32_t kDefaultFormatLimit = 1024;
    // Flags of StripWhiteSpace.
    static constexpr int kLeading = 1;
    static constexpr int kTrailing = 2;

    KOVString();
    // A null text gives an empty string.
    KOVString(const wchar_t* text);
    // With the built-in Windows-1252 table when `windows1252` is set, else with
    // the ANSI code page; the library passes Windows1252Flag().
    KOVString(const char* text, bool windows1252);
    // `length` bytes (-1: up to the terminator) in Windows code page
    // `codePage`; a conversion that fails leaves the string empty.
    KOVString(const char* bytes, int length, unsigned codePage);
    // Copies the text only; the copy starts with the default format limit.
    KOVString(const KOVString& other);
    virtual ~KOVString();

    // Copies the text and the format limit.
    KOVString& operator=(const KOVString& other);
    KOVString& operator=(const wchar_t* text);
    // Windows-1252 table when the ANSI code page is 1252, else the code page.
    KOVString& operator=(const char* text);

    // Setters; a source may point into this string's own text or forms.
    // Exactly `count` units, terminated.
    const wchar_t* SetText(const wchar_t* text, std::size_t count);
    // Narrow text of `length` bytes (-1: up to the terminator): with the
    // built-in table; by the ANSI code page rule of operator=(const char*);
    // or with the given switch.
    const wchar_t* SetWindows1252(const char* text, int length = -1);
    const wchar_t* SetAnsi(const char* text, int length = -1);
    const wchar_t* SetNarrow(const char* text, int length, bool windows1252);
    // Answers the number of units set: 0 when the input is empty or the
    // conversion fails, which leaves the string empty.
    int SetUtf8(const char* bytes, int length = -1);

    // A null argument changes nothing.
    KOVString& Append(const wchar_t* text);
    KOVString& Append(const KOVString& other);
    KOVString& Append(const char* text); // by the rule of operator=(const char*)
    KOVString& Append(const char* text, bool windows1252);

    // printf formatting, replacing the text, with at most format limit - 1
    // characters kept. %n is never executed. The wide forms answer the
    // formatter's result (-1 when the text was cut); the narrow forms the
    // new length, or the formatter's result when negative. The narrow output
    // is converted with the ANSI code page.
    int Format(const wchar_t* format, ...);
    int Format(const char* format, ...);
    int FormatV(const wchar_t* format, va_list args);
    int FormatV(const char* format, va_list args);
    // The same, appended; these answer the new length.
    int AppendFormat(const wchar_t* format, ...);
    int AppendFormat(const char* format, ...);
    int AppendFormatV(const wchar_t* format, va_list args);
    int AppendFormatV(const char* format, va_list args);

    // Null when empty.
    const wchar_t* Text() const noexcept;
    // In UTF-16 units.
    int Length() const noexcept;
    bool HasText() const noexcept { return Text() != nullptr; }
    std::int32_t FormatLimit() const noexcept { return formatLimit_; }

    // Narrow forms, null when the string is empty, "" when the conversion
    // yields nothing (the UTF-8 form: null when it fails). Valid until the
    // next change. NarrowText uses the Windows-1252 table when the ANSI code
    // page is 1252, else the code page. The lengths are in bytes.
    const char* AcpText() const;
    const char* Windows1252Text() const;
    const char* NarrowText() const;
    const char* Utf8Text() const;
    int AcpLength() const;
    int Windows1252Length() const;
    int NarrowLength() const;
    int Utf8Length() const;

    // The unit at `index`, or 0 when the index is negative or not below the
    // length. Read-only: writing through it would bypass the cached forms.
    const wchar_t& operator[](int index) const noexcept;

    // kLeading, kTrailing or both; white space as iswspace has it.
    void StripWhiteSpace(int flags);

    // Ordinal by 16-bit units; an empty string is less than any other and
    // equal to another empty one. Negative, 0 or positive.
    int Compare(const KOVString& other) const noexcept;
    int Compare(const wchar_t* text) const noexcept;
    // Converts `text` first with the given switch; the library passes
    // Windows1252Flag().
    int Compare(const char* text, bool windows1252) const;

    bool operator==(const KOVString& other) const noexcept { return Compare(other) == 0; }
    bool operator!=(const KOVString& other) const noexcept { return Compare(other) != 0; }
    bool operator<(const KOVString& other) const noexcept { return Compare(other) < 0; }
    bool operator>(const KOVString& other) const noexcept { return Compare(other) > 0; }
    bool operator==(const wchar_t* text) const noexcept { return Compare(text) == 0; }
    bool operator!=(const wchar_t* text) const noexcept { return Compare(text) != 0; }
    bool operator<(const wchar_t* text) const noexcept { return Compare(text) < 0; }
    bool operator>(const wchar_t* text) const noexcept { return Compare(text) > 0; }

private:
    class StringData;

    std::unique_ptr<StringData> data_;
    std::int32_t formatLimit_ = kDefaultFormatLimit;
};
