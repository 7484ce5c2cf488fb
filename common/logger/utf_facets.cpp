#include "common/logger/utf_facets.h"

#include <algorithm>
#include <cstdint>

namespace {

using Codecvt = std::codecvt<wchar_t, char, std::mbstate_t>;

bool IsHighSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

Codecvt::result ToFacetResult(UtfConversionResult result)
{
    switch (result) {
    case UtfConversionResult::Ok:
        return Codecvt::ok;
    case UtfConversionResult::SourceExhausted:
    case UtfConversionResult::TargetExhausted:
        return Codecvt::partial;
    case UtfConversionResult::SourceIllegal:
        break;
    }
    return Codecvt::error;
}

} // namespace

UtfConversionResult ConvertUtf16ToUtf8(const wchar_t*& from, const wchar_t* fromEnd,
                                       char*& to, char* toEnd) noexcept
{
    while (from < fromEnd) {
        std::uint32_t ch = static_cast<std::uint16_t>(*from);
        std::ptrdiff_t units = 1;
        if (IsHighSurrogate(ch)) {
            if (from + 1 == fromEnd)
                return UtfConversionResult::SourceExhausted;
            const std::uint32_t low = static_cast<std::uint16_t>(from[1]);
            if (IsLowSurrogate(low)) {
                ch = 0x10000 + ((ch - 0xD800) << 10) + (low - 0xDC00);
                units = 2;
            }
            // Otherwise unpaired: written as its own three-byte form.
        }

        const std::ptrdiff_t bytes = ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4;
        if (toEnd - to < bytes)
            return UtfConversionResult::TargetExhausted;

        unsigned char* out = reinterpret_cast<unsigned char*>(to);
        switch (bytes) {
        case 1:
            out[0] = static_cast<unsigned char>(ch);
            break;
        case 2:
            out[0] = static_cast<unsigned char>(0xC0 | (ch >> 6));
            out[1] = static_cast<unsigned char>(0x80 | (ch & 0x3F));
            break;
        case 3:
            out[0] = static_cast<unsigned char>(0xE0 | (ch >> 12));
            out[1] = static_cast<unsigned char>(0x80 | ((ch >> 6) & 0x3F));
            out[2] = static_cast<unsigned char>(0x80 | (ch & 0x3F));
            break;
        default:
            out[0] = static_cast<unsigned char>(0xF0 | (ch >> 18));
            out[1] = static_cast<unsigned char>(0x80 | ((ch >> 12) & 0x3F));
            out[2] = static_cast<unsigned char>(0x80 | ((ch >> 6) & 0x3F));
            out[3] = static_cast<unsigned char>(0x80 | (ch & 0x3F));
            break;
        }
        to += bytes;
        from += units;
    }
    return UtfConversionResult::Ok;
}

UtfConversionResult ConvertUtf8ToUtf16(const char*& from, const char* fromEnd,
                                       wchar_t*& to, wchar_t* toEnd) noexcept
{
    while (from < fromEnd) {
        const unsigned char* in = reinterpret_cast<const unsigned char*>(from);
        const unsigned char lead = in[0];

        // Length and the range of the second byte; the narrowed ranges after
        // E0, F0 and F4 are what keep overlong forms and values above U+10FFFF
        // out. ED keeps its full range: surrogate forms are read as such.
        std::ptrdiff_t length = 0;
        unsigned char secondLow = 0x80;
        unsigned char secondHigh = 0xBF;
        std::uint32_t ch = 0;
        if (lead < 0x80) {
            length = 1;
            ch = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            ch = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            ch = lead & 0x0F;
            if (lead == 0xE0)
                secondLow = 0xA0;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            ch = lead & 0x07;
            if (lead == 0xF0)
                secondLow = 0x90;
            else if (lead == 0xF4)
                secondHigh = 0x8F;
        } else {
            return UtfConversionResult::SourceIllegal;
        }

        // A sequence cut short is only incomplete if what is there is legal.
        for (std::ptrdiff_t i = 1; i < length; ++i) {
            if (from + i == fromEnd)
                return UtfConversionResult::SourceExhausted;
            const unsigned char low = i == 1 ? secondLow : 0x80;
            const unsigned char high = i == 1 ? secondHigh : 0xBF;
            if (in[i] < low || in[i] > high)
                return UtfConversionResult::SourceIllegal;
            ch = (ch << 6) | (in[i] & 0x3F);
        }

        if (ch >= 0x10000) {
            if (toEnd - to < 2)
                return UtfConversionResult::TargetExhausted;
            ch -= 0x10000;
            to[0] = static_cast<wchar_t>(0xD800 + (ch >> 10));
            to[1] = static_cast<wchar_t>(0xDC00 + (ch & 0x3FF));
            to += 2;
        } else {
            if (to == toEnd)
                return UtfConversionResult::TargetExhausted;
            *to++ = static_cast<wchar_t>(ch);
        }
        from += length;
    }
    return UtfConversionResult::Ok;
}

// --- UTF16StreamCodeCvtFacetBase ---

Codecvt::result UTF16StreamCodeCvtFacetBase::do_unshift(state_type&, extern_type* to, extern_type*,
                                                        extern_type*& toNext) const
{
    toNext = to;
    return noconv;
}

int UTF16StreamCodeCvtFacetBase::do_length(state_type&, const extern_type* from,
                                           const extern_type* fromEnd, std::size_t max) const
{
    const std::size_t whole = static_cast<std::size_t>(fromEnd - from) / 2;
    return static_cast<int>(std::min(max, whole));
}

// --- UTF16LEStreamCodeCvtFacet ---

Codecvt::result UTF16LEStreamCodeCvtFacet::do_out(state_type&, const intern_type* from,
                                                  const intern_type* fromEnd,
                                                  const intern_type*& fromNext, extern_type* to,
                                                  extern_type* toEnd, extern_type*& toNext) const
{
    const std::ptrdiff_t count = std::min(fromEnd - from, (toEnd - to) / 2);
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        const auto unit = static_cast<std::uint16_t>(from[i]);
        to[2 * i] = static_cast<char>(unit & 0xFF);
        to[2 * i + 1] = static_cast<char>(unit >> 8);
    }
    fromNext = from + count;
    toNext = to + 2 * count;
    return fromNext == fromEnd ? ok : partial;
}

Codecvt::result UTF16LEStreamCodeCvtFacet::do_in(state_type&, const extern_type* from,
                                                 const extern_type* fromEnd,
                                                 const extern_type*& fromNext, intern_type* to,
                                                 intern_type* toEnd, intern_type*& toNext) const
{
    const std::ptrdiff_t count = std::min((fromEnd - from) / 2, toEnd - to);
    const unsigned char* in = reinterpret_cast<const unsigned char*>(from);
    for (std::ptrdiff_t i = 0; i < count; ++i)
        to[i] = static_cast<wchar_t>(in[2 * i] | (in[2 * i + 1] << 8));
    fromNext = from + 2 * count;
    toNext = to + count;
    // An odd last byte stays unconsumed until its partner arrives.
    return fromNext == fromEnd ? ok : partial;
}

// --- UTF8StreamCodeCvtFacet ---

Codecvt::result UTF8StreamCodeCvtFacet::do_out(state_type&, const intern_type* from,
                                               const intern_type* fromEnd,
                                               const intern_type*& fromNext, extern_type* to,
                                               extern_type* toEnd, extern_type*& toNext) const
{
    fromNext = from;
    toNext = to;
    return ToFacetResult(ConvertUtf16ToUtf8(fromNext, fromEnd, toNext, toEnd));
}

Codecvt::result UTF8StreamCodeCvtFacet::do_in(state_type&, const extern_type* from,
                                              const extern_type* fromEnd,
                                              const extern_type*& fromNext, intern_type* to,
                                              intern_type* toEnd, intern_type*& toNext) const
{
    fromNext = from;
    toNext = to;
    return ToFacetResult(ConvertUtf8ToUtf16(fromNext, fromEnd, toNext, toEnd));
}

Codecvt::result UTF8StreamCodeCvtFacet::do_unshift(state_type&, extern_type* to, extern_type*,
                                                   extern_type*& toNext) const
{
    toNext = to;
    return noconv;
}

int UTF8StreamCodeCvtFacet::do_length(state_type&, const extern_type* from,
                                      const extern_type* fromEnd, std::size_t max) const
{
    // The bytes that make at most `max` characters: convert in slices and count.
    wchar_t scratch[256];
    const extern_type* next = from;
    std::size_t produced = 0;
    while (produced < max && next < fromEnd) {
        const std::size_t room = std::min(max - produced, sizeof(scratch) / sizeof(scratch[0]));
        wchar_t* out = scratch;
        const UtfConversionResult result = ConvertUtf8ToUtf16(next, fromEnd, out, scratch + room);
        produced += static_cast<std::size_t>(out - scratch);
        if (result != UtfConversionResult::TargetExhausted || out == scratch)
            break;
    }
    return static_cast<int>(next - from);
}
