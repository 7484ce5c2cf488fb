#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <locale>
#include <string>
#include <vector>

#include "common/logger/utf_facets.h"

using namespace std::string_literals;

namespace {

using Codecvt = std::codecvt<wchar_t, char, std::mbstate_t>;

std::string Hex(const std::string& bytes)
{
    std::string text;
    char piece[4];
    for (unsigned char b : bytes) {
        std::snprintf(piece, sizeof(piece), "%02X ", b);
        text += piece;
    }
    return text;
}

std::string Hex(const std::wstring& units)
{
    std::string text;
    char piece[6];
    for (wchar_t u : units) {
        std::snprintf(piece, sizeof(piece), "%04X ", static_cast<unsigned>(u));
        text += piece;
    }
    return text;
}

// The facets' destructors are protected, as for every facet: a locale owns them.
template <typename Facet>
struct Installed {
    std::locale locale{std::locale::classic(), new Facet};
    const Codecvt& cvt = std::use_facet<Codecvt>(locale);
};

struct OutCase {
    const char* name;
    std::wstring text;
    Codecvt::result result;
    std::string bytes;    // written
    std::size_t consumed; // characters taken from text
};

struct InCase {
    const char* name;
    std::string bytes;
    Codecvt::result result;
    std::wstring text;    // produced
    std::size_t consumed; // bytes taken
};

void CheckOut(const Codecvt& cvt, const OutCase& c, std::size_t room)
{
    SCOPED_TRACE(c.name);
    std::mbstate_t state{};
    std::vector<char> buffer(room + 1, '\x5A');
    const wchar_t* fromNext = nullptr;
    char* toNext = nullptr;
    const Codecvt::result result = cvt.out(state, c.text.data(), c.text.data() + c.text.size(),
                                           fromNext, buffer.data(), buffer.data() + room, toNext);
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.consumed, static_cast<std::size_t>(fromNext - c.text.data()));
    EXPECT_EQ(Hex(c.bytes), Hex(std::string(buffer.data(), toNext)));
    EXPECT_EQ('\x5A', buffer[room]) << "wrote past the target";
}

void CheckIn(const Codecvt& cvt, const InCase& c, std::size_t room)
{
    SCOPED_TRACE(c.name);
    std::mbstate_t state{};
    std::vector<wchar_t> buffer(room + 1, L'\x5A5A');
    const char* fromNext = nullptr;
    wchar_t* toNext = nullptr;
    const Codecvt::result result = cvt.in(state, c.bytes.data(), c.bytes.data() + c.bytes.size(),
                                          fromNext, buffer.data(), buffer.data() + room, toNext);
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.consumed, static_cast<std::size_t>(fromNext - c.bytes.data()));
    EXPECT_EQ(Hex(c.text), Hex(std::wstring(buffer.data(), toNext)));
    EXPECT_EQ(L'\x5A5A', buffer[room]) << "wrote past the target";
}

TEST(Utf8StreamCodeCvtFacet, OutputForms)
{
    const OutCase cases[] = {
        {"empty", L""s, Codecvt::ok, ""s, 0},
        {"ascii", L"Az\r\n"s, Codecvt::ok, "Az\r\n"s, 4},
        {"nul", L"\0"s, Codecvt::ok, "\0"s, 1},
        {"two-byte low", L"\x0080"s, Codecvt::ok, "\xC2\x80"s, 1},
        {"two-byte e acute", L"\x00E9"s, Codecvt::ok, "\xC3\xA9"s, 1},
        {"two-byte high", L"\x07FF"s, Codecvt::ok, "\xDF\xBF"s, 1},
        {"three-byte low", L"\x0800"s, Codecvt::ok, "\xE0\xA0\x80"s, 1},
        {"euro", L"\x20AC"s, Codecvt::ok, "\xE2\x82\xAC"s, 1},
        {"byte-order mark", L"\xFEFF"s, Codecvt::ok, "\xEF\xBB\xBF"s, 1},
        {"three-byte high", L"\xFFFF"s, Codecvt::ok, "\xEF\xBF\xBF"s, 1},
        {"pair U+10000", L"\xD800\xDC00"s, Codecvt::ok, "\xF0\x90\x80\x80"s, 2},
        {"pair U+1F600", L"\xD83D\xDE00"s, Codecvt::ok, "\xF0\x9F\x98\x80"s, 2},
        {"pair U+10FFFF", L"\xDBFF\xDFFF"s, Codecvt::ok, "\xF4\x8F\xBF\xBF"s, 2},
        {"lone high before ascii", L"\xD800" L"A"s, Codecvt::ok, "\xED\xA0\x80" "A"s, 2},
        {"lone high before high pair", L"\xDBFF\xD83D\xDE00"s, Codecvt::ok,
         "\xED\xAF\xBF\xF0\x9F\x98\x80"s, 3},
        {"lone low", L"\xDC00"s, Codecvt::ok, "\xED\xB0\x80"s, 1},
        {"low then high reversed", L"\xDFFF\xDBFF" L"A"s, Codecvt::ok,
         "\xED\xBF\xBF\xED\xAF\xBF" "A"s, 3},
        {"high at end", L"A\xD83D"s, Codecvt::partial, "A"s, 1},
        {"only a high", L"\xD800"s, Codecvt::partial, ""s, 0},
    };
    Installed<UTF8StreamCodeCvtFacet> facet;
    for (const OutCase& c : cases)
        CheckOut(facet.cvt, c, 64);
}

TEST(Utf8StreamCodeCvtFacet, InputForms)
{
    const InCase cases[] = {
        {"empty", ""s, Codecvt::ok, L""s, 0},
        {"ascii", "Az\r\n"s, Codecvt::ok, L"Az\r\n"s, 4},
        {"two-byte", "\xC2\x80\xC3\xA9\xDF\xBF"s, Codecvt::ok, L"\x0080\x00E9\x07FF"s, 6},
        {"three-byte", "\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF"s, Codecvt::ok,
         L"\x0800\x20AC\xFFFF"s, 9},
        {"byte-order mark", "\xEF\xBB\xBF" "A"s, Codecvt::ok, L"\xFEFF" L"A"s, 4},
        {"four-byte", "\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"s, Codecvt::ok,
         L"\xD800\xDC00\xD83D\xDE00\xDBFF\xDFFF"s, 12},
        {"high surrogate form", "\xED\xA0\x80"s, Codecvt::ok, L"\xD800"s, 3},
        {"low surrogate form", "\xED\xB0\x80"s, Codecvt::ok, L"\xDC00"s, 3},
        {"last before surrogates", "\xED\x9F\xBF"s, Codecvt::ok, L"\xD7FF"s, 3},
        {"lead FF", "\xFF"s, Codecvt::error, L""s, 0},
        {"lead FF after ascii", "A\xFF" "B"s, Codecvt::error, L"A"s, 1},
        {"lead F5", "\xF5\x80\x80\x80"s, Codecvt::error, L""s, 0},
        {"lone continuation", "\x80"s, Codecvt::error, L""s, 0},
        {"overlong C0 80", "\xC0\x80"s, Codecvt::error, L""s, 0},
        {"overlong C1 BF", "\xC1\xBF"s, Codecvt::error, L""s, 0},
        {"overlong three-byte", "\xE0\x9F\xBF"s, Codecvt::error, L""s, 0},
        {"overlong four-byte", "\xF0\x8F\xBF\xBF"s, Codecvt::error, L""s, 0},
        {"above U+10FFFF", "\xF4\x90\x80\x80"s, Codecvt::error, L""s, 0},
        {"bad second byte", "\xC3" "A"s, Codecvt::error, L""s, 0},
        {"bad third byte", "\xE2\x82\xC0"s, Codecvt::error, L""s, 0},
        {"bad fourth byte", "x\xF0\x9F\x98\x7F"s, Codecvt::error, L"x"s, 1},
        {"truncated two-byte", "A\xC3"s, Codecvt::partial, L"A"s, 1},
        {"truncated three-byte", "\xE2\x82"s, Codecvt::partial, L""s, 0},
        {"truncated four-byte", "A\xF0\x9F\x98"s, Codecvt::partial, L"A"s, 1},
        {"truncated and already overlong", "\xE0\x80"s, Codecvt::error, L""s, 0},
    };
    Installed<UTF8StreamCodeCvtFacet> facet;
    for (const InCase& c : cases)
        CheckIn(facet.cvt, c, 64);
}

// A full target stops at the last whole character, never inside one.
TEST(Utf8StreamCodeCvtFacet, TargetTooSmall)
{
    Installed<UTF8StreamCodeCvtFacet> facet;
    CheckOut(facet.cvt, {"euro needs 3", L"A\x20AC"s, Codecvt::partial, "A"s, 1}, 3);
    CheckOut(facet.cvt, {"pair needs 4", L"\xD83D\xDE00"s, Codecvt::partial, ""s, 0}, 3);
    CheckOut(facet.cvt, {"lone high needs 3", L"ab\xD800" L"c"s, Codecvt::partial, "ab"s, 2}, 4);
    CheckOut(facet.cvt, {"exact fit", L"\x00E9\x20AC"s, Codecvt::ok, "\xC3\xA9\xE2\x82\xAC"s, 2},
             5);
    CheckOut(facet.cvt, {"no room", L"A"s, Codecvt::partial, ""s, 0}, 0);
    CheckIn(facet.cvt, {"pair needs 2", "\xF0\x9F\x98\x80"s, Codecvt::partial, L""s, 0}, 1);
    CheckIn(facet.cvt, {"one of two", "A\xE2\x82\xAC"s, Codecvt::partial, L"A"s, 1}, 1);
    CheckIn(facet.cvt, {"pair after one", "A\xF0\x9F\x98\x80"s, Codecvt::partial, L"A"s, 1}, 2);
}

TEST(Utf8StreamCodeCvtFacet, Properties)
{
    Installed<UTF8StreamCodeCvtFacet> facet;
    EXPECT_FALSE(facet.cvt.always_noconv());
    EXPECT_EQ(4, facet.cvt.max_length());
    EXPECT_EQ(0, facet.cvt.encoding());

    std::mbstate_t state{};
    char buffer[4];
    char* next = nullptr;
    EXPECT_EQ(Codecvt::noconv, facet.cvt.unshift(state, buffer, buffer + 4, next));
    EXPECT_EQ(buffer, next);
}

TEST(Utf8StreamCodeCvtFacet, LengthCountsBytesOfWholeCharacters)
{
    struct Case {
        std::string bytes;
        std::size_t max;
        int expected;
    };
    const std::string mixed = "A\xE2\x82\xAC\xF0\x9F\x98\x80" "B"s; // 1 + 1 + 2 + 1 units
    const Case cases[] = {
        {mixed, 0, 0}, {mixed, 1, 1}, {mixed, 2, 4},  {mixed, 3, 4},
        {mixed, 4, 8}, {mixed, 5, 9}, {mixed, 100, 9},
        {"A\xFF" "B"s, 10, 1},          // stops at illegal input
        {"AB\xE2\x82"s, 10, 2},         // and before an incomplete character
        {std::string(1000, 'x'), 700, 700},  // more than one scratch slice
    };
    Installed<UTF8StreamCodeCvtFacet> facet;
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.bytes.substr(0, 16)) + " max " + std::to_string(c.max));
        std::mbstate_t state{};
        EXPECT_EQ(c.expected,
                  facet.cvt.length(state, c.bytes.data(), c.bytes.data() + c.bytes.size(), c.max));
    }
}

TEST(Utf16LEStreamCodeCvtFacet, BothWays)
{
    const OutCase outCases[] = {
        {"empty", L""s, Codecvt::ok, ""s, 0},
        {"ascii", L"A\r\n"s, Codecvt::ok, "A\0\r\0\n\0"s, 3},
        {"byte-order mark", L"\xFEFF"s, Codecvt::ok, "\xFF\xFE"s, 1},
        {"euro", L"\x20AC"s, Codecvt::ok, "\xAC\x20"s, 1},
        {"pair", L"\xD83D\xDE00"s, Codecvt::ok, "\x3D\xD8\x00\xDE"s, 2},
        {"lone high at end", L"\xD800"s, Codecvt::ok, "\x00\xD8"s, 1},
    };
    const InCase inCases[] = {
        {"empty", ""s, Codecvt::ok, L""s, 0},
        {"ascii", "A\0\r\0\n\0"s, Codecvt::ok, L"A\r\n"s, 6},
        {"byte-order mark", "\xFF\xFE"s, Codecvt::ok, L"\xFEFF"s, 2},
        {"pair", "\x3D\xD8\x00\xDE"s, Codecvt::ok, L"\xD83D\xDE00"s, 4},
        {"odd trailing byte", "A\0B"s, Codecvt::partial, L"A"s, 2},
        {"single byte", "A"s, Codecvt::partial, L""s, 0},
    };
    Installed<UTF16LEStreamCodeCvtFacet> facet;
    for (const OutCase& c : outCases)
        CheckOut(facet.cvt, c, 64);
    for (const InCase& c : inCases)
        CheckIn(facet.cvt, c, 64);
}

TEST(Utf16LEStreamCodeCvtFacet, TargetTooSmall)
{
    Installed<UTF16LEStreamCodeCvtFacet> facet;
    CheckOut(facet.cvt, {"odd room", L"ABC"s, Codecvt::partial, "A\0B\0"s, 2}, 5);
    CheckOut(facet.cvt, {"one byte", L"A"s, Codecvt::partial, ""s, 0}, 1);
    CheckIn(facet.cvt, {"two of three", "A\0B\0C\0"s, Codecvt::partial, L"AB"s, 4}, 2);
}

TEST(Utf16LEStreamCodeCvtFacet, Properties)
{
    Installed<UTF16LEStreamCodeCvtFacet> facet;
    EXPECT_FALSE(facet.cvt.always_noconv());
    EXPECT_EQ(2, facet.cvt.max_length());
    EXPECT_EQ(2, facet.cvt.encoding());

    struct Case {
        std::size_t bytes;
        std::size_t max;
        int expected;
    };
    const Case cases[] = {{0, 5, 0}, {5, 10, 2}, {6, 10, 3}, {6, 1, 1}, {8, 4, 4}, {8, 0, 0}};
    const char data[8] = {};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes) + " bytes, max " + std::to_string(c.max));
        std::mbstate_t state{};
        EXPECT_EQ(c.expected, facet.cvt.length(state, data, data + c.bytes, c.max));
    }

    std::mbstate_t state{};
    char buffer[2];
    char* next = nullptr;
    EXPECT_EQ(Codecvt::noconv, facet.cvt.unshift(state, buffer, buffer + 2, next));
    EXPECT_EQ(buffer, next);
}

// A real file stream imbued with the facet writes exactly the file bytes and
// reads them back to the same characters.
class FacetFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                (std::string("utf_facets_") + info->name() + ".txt");
        std::filesystem::remove(path_);
    }
    void TearDown() override
    {
        std::error_code ignored; // best effort; a stale temp file harms nothing
        std::filesystem::remove(path_, ignored);
    }

    template <typename Facet>
    void RoundTrip(const std::wstring& text, const std::string& expectedBytes)
    {
        {
            std::wofstream out;
            out.imbue(std::locale(std::locale::classic(), new Facet));
            out.open(path_, std::ios::out | std::ios::binary | std::ios::trunc);
            ASSERT_TRUE(out.is_open());
            out << text;
            out.flush();
            ASSERT_TRUE(out.good());
        }
        {
            std::ifstream raw(path_, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(raw)),
                                    std::istreambuf_iterator<char>());
            EXPECT_EQ(Hex(expectedBytes), Hex(bytes));
        }
        {
            std::wifstream in;
            in.imbue(std::locale(std::locale::classic(), new Facet));
            in.open(path_, std::ios::in | std::ios::binary);
            ASSERT_TRUE(in.is_open());
            const std::wstring back((std::istreambuf_iterator<wchar_t>(in)),
                                    std::istreambuf_iterator<wchar_t>());
            EXPECT_EQ(Hex(text), Hex(back));
        }
    }

    std::filesystem::path path_;
};

TEST_F(FacetFileTest, Utf8HeaderAndLine)
{
    RoundTrip<UTF8StreamCodeCvtFacet>(
        L"\xFEFF" L"UTF-8 encoded\r\n" L"caf\x00E9 \xD83D\xDE00 \xDC00!\r\n"s,
        "\xEF\xBB\xBF" "UTF-8 encoded\r\n" "caf\xC3\xA9 \xF0\x9F\x98\x80 \xED\xB0\x80!\r\n"s);
}

TEST_F(FacetFileTest, Utf16LEHeaderAndLine)
{
    RoundTrip<UTF16LEStreamCodeCvtFacet>(
        L"\xFEFF" L"UTF-16LE encoded\r\n" L"\x00E9\xD83D\xDE00\r\n"s,
        "\xFF\xFE" "U\0T\0F\0-\0" "1\0" "6\0L\0E\0 \0e\0n\0c\0o\0d\0e\0d\0\r\0\n\0"
        "\xE9\0\x3D\xD8\x00\xDE\r\0\n\0"s);
}

} // namespace
