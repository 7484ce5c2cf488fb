// Narrow text and UTF-16: the built-in Windows-1252 table and the switch
// between it and the system's conversion.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "common/util/ansi_text.h"

namespace {

TEST(Windows1252Table, MapsBytesAsTheCodePageDefinesThem)
{
    const struct {
        unsigned char byte;
        wchar_t character;
    } cases[] = {
        {0x00, 0x0000}, {0x41, L'A'},    {0x7F, 0x007F}, {0x80, 0x20AC}, {0x8A, 0x0160},
        {0x99, 0x2122}, {0x9F, 0x0178},  {0xA0, 0x00A0}, {0xE9, 0x00E9}, {0xFF, 0x00FF},
        // The five bytes the code page leaves undefined.
        {0x81, 0xFFFD}, {0x8D, 0xFFFD},  {0x8F, 0xFFFD}, {0x90, 0xFFFD}, {0x9D, 0xFFFD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.byte));
        EXPECT_EQ(c.character, Windows1252ToUnicode(c.byte));
    }
}

TEST(Windows1252Table, EveryDefinedByteComesBackAndOtherCharactersBecomeQuestionMarks)
{
    for (int byte = 0; byte < 256; ++byte) {
        const wchar_t character = Windows1252ToUnicode(static_cast<unsigned char>(byte));
        if (character != 0xFFFD) {
            EXPECT_EQ(static_cast<char>(byte), UnicodeToWindows1252(character)) << byte;
        }
    }
    for (const wchar_t outside : {wchar_t(0xFFFD), wchar_t(0x0081), wchar_t(0x0100),
                                  wchar_t(0x0410), wchar_t(0x20AD), wchar_t(0xD83D)}) {
        EXPECT_EQ('?', UnicodeToWindows1252(outside)) << static_cast<int>(outside);
    }
}

TEST(Windows1252Table, WholeTextsAndLengths)
{
    EXPECT_EQ(L"\u20AC caf\u00E9 \uFFFD", NarrowToWide("\x80 caf\xE9 \x81", kWholeText, true));
    EXPECT_EQ(L"\u20AC c", NarrowToWide("\x80 caf\xE9", 3, true));
    EXPECT_EQ("\x80 caf\xE9 ?", WideToNarrow(L"\u20AC caf\u00E9 \u0100", kWholeText, true));
    // A character beyond U+FFFF is one character; a lone surrogate is one too.
    EXPECT_EQ("a?b?", WideToNarrow(L"a\U0001F600b\xD83D", kWholeText, true));
    EXPECT_EQ(L"", NarrowToWide(nullptr, kWholeText, true));
    EXPECT_EQ("", WideToNarrow(nullptr, kWholeText, false));
}

// Restores the process-wide flag a case changes.
class Windows1252FlagTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = Windows1252Flag(); }
    void TearDown() override { SetWindows1252Flag(saved_); }

private:
    bool saved_ = false;
};

TEST_F(Windows1252FlagTest, FlagChoosesTheTableOverTheSystemConversion)
{
    ASSERT_TRUE(AnsiCodePageIs1252());  // Wine's default, as on western systems
    SetWindows1252Flag(false);
    EXPECT_FALSE(SetWindows1252Flag(true));  // answers the previous value
    EXPECT_TRUE(Windows1252Flag());
    // The system's 1252 table passes the undefined bytes through as C1
    // controls; the built-in one does not.
    EXPECT_EQ(L"\uFFFD\u20AC", AnsiToWide("\x81\x80"));
    EXPECT_EQ("?", WideToAnsi(L"\u0081"));
    wchar_t buffer[3];
    EXPECT_EQ(2u, AnsiToWide("\x81\x80", buffer, 3));
    EXPECT_STREQ(L"\uFFFD\u20AC", buffer);
    EXPECT_EQ(0u, AnsiToWide("abc", buffer, 3));  // not whole: nothing
    EXPECT_STREQ(L"", buffer);

    EXPECT_TRUE(SetWindows1252Flag(false));
    EXPECT_FALSE(Windows1252Flag());
    EXPECT_EQ(L"\u0081\u20AC", AnsiToWide("\x81\x80"));
    EXPECT_EQ("\x81", WideToAnsi(L"\u0081"));
    EXPECT_EQ(2u, AnsiToWide("\x81\x80", buffer, 3));
    EXPECT_STREQ(L"\u0081\u20AC", buffer);
    EXPECT_EQ(0u, AnsiToWide("abc", buffer, 3));
    EXPECT_STREQ(L"", buffer);
}

TEST_F(Windows1252FlagTest, SystemConversionFollowsTheThreadCodePage)
{
    const LCID saved = ::GetThreadLocale();
    ASSERT_TRUE(::SetThreadLocale(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT)));
    const std::wstring system = NarrowToWide("\xC0", kWholeText, false);
    const std::wstring table = NarrowToWide("\xC0", kWholeText, true);
    const std::string back = WideToNarrow(L"\u0410", kWholeText, false);
    ::SetThreadLocale(saved);
    EXPECT_EQ(L"\u0410", system);  // Cyrillic A in code page 1251
    EXPECT_EQ(L"\u00C0", table);
    EXPECT_EQ("\xC0", back);
}

}  // namespace
