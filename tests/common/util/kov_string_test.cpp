#include "common/util/kov_string.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <malloc.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "common/util/ansi_text.h"

// The string's buffers are arrays; while a test watches, every array given
// back to the heap is checked for bytes left in it. Only the test's own
// thread runs C++ code here.
namespace {

bool g_watchFrees = false;
int g_checkedFrees = 0;
int g_dirtyFrees = 0;

} // namespace

void* operator new[](std::size_t size)
{
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void operator delete[](void* block) noexcept
{
    if (block != nullptr && g_watchFrees) {
        const unsigned char* bytes = static_cast<const unsigned char*>(block);
        const std::size_t size = _msize(block);
        std::size_t index = 0;
        while (index < size && bytes[index] == 0) {
            ++index;
        }
        ++g_checkedFrees;
        g_dirtyFrees += index < size ? 1 : 0;
    }
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept
{
    operator delete[](block);
}

namespace {

// Null and empty read the same; gives the text in a form EXPECT_EQ can show.
std::wstring TextOf(const KOVString& s)
{
    return s.Text() != nullptr ? s.Text() : L"";
}

std::string FormOf(const char* form)
{
    return form != nullptr ? form : "<null>";
}

TEST(KOVStringCopy, CopiesAreIndependent)
{
    KOVString source(L"abc");
    KOVString copy(source);
    copy.Append(L"d");
    KOVString assigned;
    assigned = source;
    assigned.SetText(L"xy", 2);
    EXPECT_EQ(L"abc", TextOf(source));
    EXPECT_EQ(L"abcd", TextOf(copy));
    EXPECT_EQ(L"xy", TextOf(assigned));
    EXPECT_NE(source.Text(), copy.Text());
}

TEST(KOVStringCopy, SourcesInsideTheStringItself)
{
    KOVString s(L"abc");
    const char* cached = s.AcpText();
    const KOVString& alias = s;
    s = alias;
    EXPECT_EQ(L"abc", TextOf(s));
    EXPECT_EQ(cached, s.AcpText()); // nothing was rebuilt

    s = s.Text();
    EXPECT_EQ(L"abc", TextOf(s));
    s.Append(s);
    EXPECT_EQ(L"abcabc", TextOf(s));
    s.SetAnsi(s.AcpText());
    EXPECT_EQ(L"abcabc", TextOf(s));
    s.SetText(s.Text() + 4, 2);
    EXPECT_EQ(L"bc", TextOf(s));
    s.SetUtf8(s.Utf8Text(), 1);
    EXPECT_EQ(L"b", TextOf(s));
}

TEST(KOVStringFormat, OutputIsCutAtTheLimitLessOne)
{
    const std::wstring wide(1500, L'w');
    const std::string narrow(1500, 'n');
    KOVString s;
    EXPECT_EQ(1024, s.FormatLimit());

    EXPECT_EQ(-1, s.Format(L"%s", wide.c_str()));
    EXPECT_EQ(wide.substr(0, 1023), TextOf(s));
    EXPECT_EQ(-1, s.Format(L"%s!", wide.substr(0, 1023).c_str()));
    EXPECT_EQ(wide.substr(0, 1023), TextOf(s));
    EXPECT_EQ(1023, s.Format(L"%s", wide.substr(0, 1023).c_str()));

    EXPECT_EQ(-1, s.Format("%s", narrow.c_str()));
    EXPECT_EQ(std::wstring(1023, L'n'), TextOf(s));

    s = L"ab";
    EXPECT_EQ(1025, s.AppendFormat(L"%s", wide.c_str()));
    EXPECT_EQ(L"ab" + wide.substr(0, 1023), TextOf(s));
}

struct FormatCase {
    const char* name;
    std::function<int(KOVString&)> run; // on a string holding "ab"
    int result;
    const wchar_t* text;
};

TEST(KOVStringFormat, Results)
{
    ASSERT_TRUE(AnsiCodePageIs1252()) << "the narrow cases are written for code page 1252";
    int target = 77;
    const FormatCase cases[] = {
        {"wide", [](KOVString& s) { return s.Format(L"%s=%d|%hs", L"k", 5, "n"); }, 5, L"k=5|n"},
        {"narrow", [](KOVString& s) { return s.Format("%s=%d|%ls", "k", 5, L"w"); }, 5, L"k=5|w"},
        {"narrow by code page", [](KOVString& s) { return s.Format("%s", "\xE9t\xE9\x80"); }, 4,
         L"\u00e9t\u00e9\u20ac"},
        {"wide %n", [&](KOVString& s) { return s.Format(L"x%ny%d", &target, 3); }, 3, L"xy3"},
        {"narrow %n", [&](KOVString& s) { return s.Format("x%ny%hn", &target, &target); }, 2, L"xy"},
        {"wide appended", [](KOVString& s) { return s.AppendFormat(L"%03d", 7); }, 5, L"ab007"},
        {"narrow appended", [](KOVString& s) { return s.AppendFormat("%c%s", 'c', "\xE9"); }, 4,
         L"abc\u00e9"},
        {"appended %n", [&](KOVString& s) { return s.AppendFormat(L"%n!", &target); }, 3, L"ab!"},
        {"null wide format", [](KOVString& s) { return s.Format(static_cast<const wchar_t*>(nullptr)); }, -1,
         L""},
        {"null narrow format", [](KOVString& s) { return s.Format(static_cast<const char*>(nullptr)); }, -1,
         L""},
    };
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.name);
        KOVString s(L"ab");
        EXPECT_EQ(c.result, c.run(s));
        EXPECT_EQ(c.text, TextOf(s));
    }
    EXPECT_EQ(77, target); // never written through
}

struct Change {
    const char* name;
    std::function<void(KOVString&)> apply; // on a string holding " old "
    const char* text;                      // ASCII, so every form reads the same
};

TEST(KOVStringForms, EveryChangeDropsTheCachedForms)
{
    const Change changes[] = {
        {"append wide", [](KOVString& s) { s.Append(L"+"); }, " old +"},
        {"append string", [](KOVString& s) { s.Append(KOVString(L"+")); }, " old +"},
        {"append narrow", [](KOVString& s) { s.Append("+"); }, " old +"},
        {"append narrow by table", [](KOVString& s) { s.Append("+", true); }, " old +"},
        {"format wide", [](KOVString& s) { s.Format(L"%d", 1); }, "1"},
        {"format narrow", [](KOVString& s) { s.Format("%d", 2); }, "2"},
        {"append format", [](KOVString& s) { s.AppendFormat("%d", 3); }, " old 3"},
        {"set wide", [](KOVString& s) { s.SetText(L"newer", 3); }, "new"},
        {"set by table", [](KOVString& s) { s.SetWindows1252("new"); }, "new"},
        {"set by code page rule", [](KOVString& s) { s.SetAnsi("newer", 2); }, "ne"},
        {"set with switch", [](KOVString& s) { s.SetNarrow("new", -1, false); }, "new"},
        {"set UTF-8", [](KOVString& s) { s.SetUtf8("new"); }, "new"},
        {"strip", [](KOVString& s) { s.StripWhiteSpace(KOVString::kLeading); }, "old "},
        {"assign wide", [](KOVString& s) { s = L"new"; }, "new"},
        {"assign narrow", [](KOVString& s) { s = "new"; }, "new"},
        {"assign string", [](KOVString& s) { s = KOVString(L"new"); }, "new"},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        KOVString s(L" old ");
        ASSERT_EQ(" old ", FormOf(s.AcpText()));
        ASSERT_EQ(" old ", FormOf(s.Windows1252Text()));
        ASSERT_EQ(" old ", FormOf(s.Utf8Text()));
        change.apply(s);
        const std::string expected = change.text;
        EXPECT_EQ(std::wstring(expected.begin(), expected.end()), TextOf(s));
        EXPECT_EQ(expected, FormOf(s.AcpText()));
        EXPECT_EQ(expected, FormOf(s.Windows1252Text()));
        EXPECT_EQ(expected, FormOf(s.NarrowText()));
        EXPECT_EQ(expected, FormOf(s.Utf8Text()));
        EXPECT_EQ(static_cast<int>(expected.size()), s.Utf8Length());
    }
}

TEST(KOVStringForms, TextBeyondAscii)
{
    // U+0080, U+00E9, U+20AC, U+1F600 (a surrogate pair), U+0041.
    const KOVString s(L"\u0080\u00e9\u20ac\U0001F600A");
    EXPECT_EQ(6, s.Length());
    EXPECT_EQ("\xC2\x80\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80" "A", FormOf(s.Utf8Text()));
    EXPECT_EQ(12, s.Utf8Length());
    // Each character outside the set becomes one '?', the pair included.
    EXPECT_EQ("?\xE9\x80?A", FormOf(s.Windows1252Text()));
    EXPECT_EQ(5, s.Windows1252Length());
    ASSERT_TRUE(AnsiCodePageIs1252());
    EXPECT_EQ(s.Windows1252Text(), s.NarrowText());

    KOVString back;
    EXPECT_EQ(6, back.SetUtf8(s.Utf8Text()));
    EXPECT_EQ(s, back);
    back.SetWindows1252("\x80\x81\x9F\xFF");
    EXPECT_EQ(L"\u20ac\ufffd\u0178\u00ff", TextOf(back));

    const KOVString empty;
    EXPECT_EQ(nullptr, empty.Text());
    EXPECT_EQ(nullptr, empty.AcpText());
    EXPECT_EQ(nullptr, empty.Windows1252Text());
    EXPECT_EQ(nullptr, empty.Utf8Text());
    EXPECT_EQ(0, empty.Utf8Length());
    EXPECT_FALSE(empty.HasText());
}

struct CodePageCase {
    const char* bytes;
    int length;
    unsigned codePage;
    const wchar_t* text;
};

TEST(KOVStringConstruction, FromBytesInACodePage)
{
    const CodePageCase cases[] = {
        {"\xC3\xA9\xE2\x82\xAC", 5, 65001, L"\u00e9\u20ac"},
        {"\xE9\x80", 2, 1252, L"\u00e9\u20ac"},
        {"\xE9\x80", -1, 1252, L"\u00e9\u20ac"},
        {"abc", 2, 1252, L"ab"},
        {"abc", 0, 1252, L""},
        {"abc", 3, 54321, L""}, // no such code page
        {nullptr, 3, 1252, L""},
    };
    for (const CodePageCase& c : cases) {
        SCOPED_TRACE(c.codePage);
        EXPECT_EQ(c.text, TextOf(KOVString(c.bytes, c.length, c.codePage)));
    }
    EXPECT_EQ(L"\u20ac\ufffd", TextOf(KOVString("\x80\x81", true)));
    EXPECT_EQ(L"", TextOf(KOVString(static_cast<const char*>(nullptr), true)));
    EXPECT_EQ(L"", TextOf(KOVString(static_cast<const wchar_t*>(nullptr))));
}

TEST(KOVStringAccess, OutsideTheTextGivesTheZeroUnit)
{
    const KOVString s(L"ab");
    EXPECT_EQ(L'a', s[0]);
    EXPECT_EQ(L'b', s[1]);
    EXPECT_EQ(L'\0', s[-1]);
    EXPECT_EQ(L'\0', s[2]);
    EXPECT_EQ(L'\0', s[INT_MIN]);
    EXPECT_EQ(L'\0', KOVString()[0]);
}

struct StripCase {
    int flags;
    const wchar_t* input;
    const wchar_t* text;
};

TEST(KOVStringStrip, LeadingTrailingOrBoth)
{
    const StripCase cases[] = {
        {KOVString::kLeading, L"  ab  ", L"ab  "},
        {KOVString::kTrailing, L"  ab  ", L"  ab"},
        {KOVString::kLeading | KOVString::kTrailing, L"  ab  ", L"ab"},
        {KOVString::kLeading | KOVString::kTrailing, L"\t a b\r\n", L"a b"},
        {KOVString::kLeading | KOVString::kTrailing, L" \t\r\n ", L""},
        {0, L"  ab  ", L"  ab  "},
    };
    for (const StripCase& c : cases) {
        SCOPED_TRACE(c.flags);
        KOVString s(c.input);
        s.StripWhiteSpace(c.flags);
        EXPECT_EQ(c.text, TextOf(s));
        EXPECT_EQ(static_cast<int>(std::wcslen(c.text)), s.Length());
    }
    KOVString null;
    null.StripWhiteSpace(KOVString::kLeading | KOVString::kTrailing);
    EXPECT_EQ(nullptr, null.Text());
}

struct CompareCase {
    const wchar_t* left; // null: a string never given a text
    const wchar_t* right;
    int order;
};

TEST(KOVStringCompare, OrdinalWithNullFirst)
{
    const CompareCase cases[] = {
        {nullptr, nullptr, 0},
        {nullptr, L"a", -1},
        {L"a", nullptr, 1},
        {L"", nullptr, 0},
        {L"a", L"a", 0},
        {L"a", L"b", -1},
        {L"a", L"ab", -1},
        {L"B", L"a", -1},               // no case folding
        {L"\uffff", L"\U0001F600", 1},  // by units, not by code points
    };
    for (const CompareCase& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.left ? "left" : "null") << " / " << (c.right ? "right" : "null")
                                        << " expecting " << c.order);
        const KOVString left = c.left ? KOVString(c.left) : KOVString();
        const KOVString right = c.right ? KOVString(c.right) : KOVString();
        EXPECT_EQ(c.order, left.Compare(right));
        EXPECT_EQ(c.order, left.Compare(c.right));
        EXPECT_EQ(c.order == 0, left == right);
        EXPECT_EQ(c.order != 0, left != right);
        EXPECT_EQ(c.order < 0, left < right);
        EXPECT_EQ(c.order > 0, left > right);
        EXPECT_EQ(c.order < 0, left < c.right);
    }
}

TEST(KOVStringCompare, WithNarrowText)
{
    EXPECT_EQ(0, KOVString(L"\u20ac").Compare("\x80", true));
    EXPECT_EQ(-1, KOVString(L"a").Compare("b", true));
    // Narrow text that converts to nothing is an empty text, not a match.
    EXPECT_EQ(1, KOVString(L"abc").Compare("", true));
    EXPECT_EQ(1, KOVString(L"abc").Compare(nullptr, false));
    EXPECT_EQ(0, KOVString().Compare("", true));
}

TEST(KOVStringMemory, EveryBufferIsZeroedBeforeItIsFreed)
{
    g_checkedFrees = 0;
    g_dirtyFrees = 0;
    g_watchFrees = true;
    {
        KOVString s(L" secret ");
        s.AcpText();
        s.Windows1252Text();
        s.Utf8Text();
        s.Append(L"more");
        s.Format(L"%s-%d", L"pw", 1);
        s.Format("%s", "pw");
        s.AppendFormat(L"%s", L"x");
        s.StripWhiteSpace(KOVString::kLeading | KOVString::kTrailing);
        KOVString copy(s);
        copy = s;
        copy.Utf8Text();
        s = L"other";
        s.SetUtf8("abc");
        s.Compare("abc", true);
        s = "narrow";
    }
    g_watchFrees = false;
    EXPECT_GT(g_checkedFrees, 10);
    EXPECT_EQ(0, g_dirtyFrees);
}

} // namespace
