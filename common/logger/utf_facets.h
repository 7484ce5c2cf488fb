#pragma once

// Conversion facets for the log file stream: its 16-bit characters are
// written and read as UTF-16 (low byte first) or as UTF-8.

#include <cstddef>
#include <cwchar>
#include <locale>

static_assert(sizeof(wchar_t) == 2, "the facets convert 16-bit UTF-16 characters");

// Outcome of one conversion call, as the reference converter names them.
enum class UtfConversionResult {
    Ok,               // the whole source was converted
    SourceExhausted,  // the source ends inside a character
    TargetExhausted,  // the next whole character does not fit
    SourceIllegal,    // the source holds a sequence that is not UTF-8
};

// UTF-16 to UTF-8. Unpaired surrogates are written as their own three-byte
// forms; a high surrogate at the very end stops with SourceExhausted, since
// the next call may bring its low half. On return `from` and `to` point just
// past the last whole character converted.
UtfConversionResult ConvertUtf16ToUtf8(const wchar_t*& from, const wchar_t* fromEnd,
                                       char*& to, char* toEnd) noexcept;

// UTF-8 to UTF-16. Overlong forms, bad lead or continuation bytes and values
// above U+10FFFF are SourceIllegal (`from` stays at the bad sequence); the
// three-byte forms of surrogates are taken as those code units, so whatever
// ConvertUtf16ToUtf8 writes reads back unchanged.
UtfConversionResult ConvertUtf8ToUtf16(const char*& from, const char* fromEnd,
                                       wchar_t*& to, wchar_t* toEnd) noexcept;

// Two bytes per character, whichever byte order the derived class writes.
class UTF16StreamCodeCvtFacetBase : public std::codecvt<wchar_t, char, std::mbstate_t> {
public:
    explicit UTF16StreamCodeCvtFacetBase(std::size_t refs = 0)
        : std::codecvt<wchar_t, char, std::mbstate_t>(refs) {}

protected:
    result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                  const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                  extern_type*& toNext) const override = 0;
    result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
                 const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                 intern_type*& toNext) const override = 0;
    result do_unshift(state_type& state, extern_type* to, extern_type* toEnd,
                      extern_type*& toNext) const override;
    int do_encoding() const noexcept override { return 2; }
    bool do_always_noconv() const noexcept override { return false; }
    int do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                  std::size_t max) const override;
    int do_max_length() const noexcept override { return 2; }
};

class UTF16LEStreamCodeCvtFacet : public UTF16StreamCodeCvtFacetBase {
public:
    explicit UTF16LEStreamCodeCvtFacet(std::size_t refs = 0) : UTF16StreamCodeCvtFacetBase(refs) {}

protected:
    result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                  const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                  extern_type*& toNext) const override;
    result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
                 const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                 intern_type*& toNext) const override;
};

class UTF8StreamCodeCvtFacet : public std::codecvt<wchar_t, char, std::mbstate_t> {
public:
    explicit UTF8StreamCodeCvtFacet(std::size_t refs = 0)
        : std::codecvt<wchar_t, char, std::mbstate_t>(refs) {}

protected:
    result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                  const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                  extern_type*& toNext) const override;
    result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
                 const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                 intern_type*& toNext) const override;
    result do_unshift(state_type& state, extern_type* to, extern_type* toEnd,
                      extern_type*& toNext) const override;
    int do_encoding() const noexcept override { return 0; }
    bool do_always_noconv() const noexcept override { return false; }
    int do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                  std::size_t max) const override;
    int do_max_length() const noexcept override { return 4; }
};
