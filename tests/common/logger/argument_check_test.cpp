#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/logger/argument_check.h"

namespace {

// Both ways of checking must agree: the probing pass that every entry takes,
// and the rendering pass that a failed entry's report shows.
void ExpectSameVerdict(const ArgumentCheck& probed, const ArgumentCheck& rendered)
{
    EXPECT_EQ(probed.valid, rendered.valid);
    EXPECT_EQ(probed.argCount, rendered.argCount);
    EXPECT_EQ(probed.rendered, probed.valid ? std::wstring() : rendered.rendered);
}

// Variadic front ends, so that every case goes through a real argument list.
// They answer the rendered check.
ArgumentCheck CheckW(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const ArgumentCheck probed = CheckLogArguments(LogCharKind::Wide, format, args);
    ArgumentCheck result = CheckLogArguments(LogCharKind::Wide, format, args, ArgumentRendering::Always);
    va_end(args);
    ExpectSameVerdict(probed, result);
    return result;
}

ArgumentCheck CheckA(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const ArgumentCheck probed = CheckLogArguments(LogCharKind::Narrow, format, args);
    ArgumentCheck result = CheckLogArguments(LogCharKind::Narrow, format, args, ArgumentRendering::Always);
    va_end(args);
    ExpectSameVerdict(probed, result);
    return result;
}

int FormatW(wchar_t* buffer, std::size_t size, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = FormatLogText(buffer, size, format, args);
    va_end(args);
    return result;
}

int FormatA(char* buffer, std::size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = FormatLogText(buffer, size, format, args);
    va_end(args);
    return result;
}

// What the C runtime itself makes of a format, for comparison.
std::wstring RuntimeW(const wchar_t* format, ...)
{
    wchar_t buffer[512] = {};
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, 511, format, args);
    va_end(args);
    return buffer;
}

std::string RuntimeA(const char* format, ...)
{
    char buffer[512] = {};
    va_list args;
    va_start(args, format);
    _vsnprintf(buffer, 511, format, args);
    va_end(args);
    return buffer;
}

std::wstring PointerText(const void* pointer)
{
    return RuntimeW(L"%p", pointer);
}

const wchar_t* const kNoWide = nullptr;
const char* const kNoNarrow = nullptr;
int* const kNoTarget = nullptr;

struct ConversionCase {
    const char* name;
    ArgumentCheck (*check)();
    bool valid;
    int argCount;
    const wchar_t* rendered;
};

std::string CaseName(const testing::TestParamInfo<ConversionCase>& info)
{
    return info.param.name;
}

class WideConversion : public testing::TestWithParam<ConversionCase> {};
class NarrowConversion : public testing::TestWithParam<ConversionCase> {};

void ExpectCase(const ConversionCase& c)
{
    const ArgumentCheck result = c.check();
    EXPECT_EQ(c.valid, result.valid);
    EXPECT_EQ(c.argCount, result.argCount);
    EXPECT_EQ(std::wstring(c.rendered), result.rendered);
}

TEST_P(WideConversion, ChecksAndRendersArguments)
{
    ExpectCase(GetParam());
}

TEST_P(NarrowConversion, ChecksAndRendersArguments)
{
    ExpectCase(GetParam());
}

const ConversionCase kWideCases[] = {
    {"c_is_wchar", [] { return CheckW(L"%c", L'A'); }, true, 1, L"arg[1](wchar_t)=A "},
    {"hc_is_char", [] { return CheckW(L"%hc", 'B'); }, true, 1, L"arg[1](char)=B "},
    {"lc_is_wchar", [] { return CheckW(L"%lc", L'C'); }, true, 1, L"arg[1](wchar_t)=C "},
    {"I64c_as_none", [] { return CheckW(L"%I64c", L'D'); }, true, 1, L"arg[1](wchar_t)=D "},
    {"C_is_char", [] { return CheckW(L"%C", 'E'); }, true, 1, L"arg[1](char)=E "},
    {"hC_is_char", [] { return CheckW(L"%hC", 'F'); }, true, 1, L"arg[1](char)=F "},
    {"lC_is_wchar", [] { return CheckW(L"%lC", L'G'); }, true, 1, L"arg[1](wchar_t)=G "},
    {"d_is_int", [] { return CheckW(L"%d", -5); }, true, 1, L"arg[1](int)=-5 "},
    {"i_is_int", [] { return CheckW(L"%i", 7); }, true, 1, L"arg[1](int)=7 "},
    {"hd_is_short", [] { return CheckW(L"%hd", 0x1FFFE); }, true, 1, L"arg[1](short int)=-2 "},
    {"ld_is_long", [] { return CheckW(L"%ld", -70000L); }, true, 1, L"arg[1](long int)=-70000 "},
    {"I64d_is_int64", [] { return CheckW(L"%I64d", -5000000000LL); }, true, 1, L"arg[1](__int64)=-5000000000 "},
    {"u_is_unsigned", [] { return CheckW(L"%u", 4000000000u); }, true, 1, L"arg[1](unsigned int)=4000000000 "},
    {"o_is_unsigned", [] { return CheckW(L"%o", 8u); }, true, 1, L"arg[1](unsigned int)=8 "},
    {"X_is_unsigned", [] { return CheckW(L"%X", 255u); }, true, 1, L"arg[1](unsigned int)=255 "},
    {"hx_is_ushort", [] { return CheckW(L"%hx", 0x1FFFF); }, true, 1, L"arg[1](unsigned short int)=65535 "},
    {"lu_is_ulong", [] { return CheckW(L"%lu", 4000000001UL); }, true, 1,
     L"arg[1](long unsigned int)=4000000001 "},
    {"I64x_is_uint64", [] { return CheckW(L"%I64x", 18446744073709551615ULL); }, true, 1,
     L"arg[1](unsigned __int64)=18446744073709551615 "},
    {"e_is_double", [] { return CheckW(L"%e", 1.5); }, true, 1, L"arg[1](double)=1.500000 "},
    {"E_is_double", [] { return CheckW(L"%E", -0.25); }, true, 1, L"arg[1](double)=-0.250000 "},
    {"g_is_double", [] { return CheckW(L"%g", 2.0); }, true, 1, L"arg[1](double)=2.000000 "},
    {"lG_is_double", [] { return CheckW(L"%lG", 3.0); }, true, 1, L"arg[1](double)=3.000000 "},
    {"f_is_double", [] { return CheckW(L"%f", 4.5); }, true, 1, L"arg[1](double)=4.500000 "},
    {"I64f_is_double", [] { return CheckW(L"%I64f", 5.5); }, true, 1, L"arg[1](double)=5.500000 "},
    {"lf_is_long_double", [] { return CheckW(L"%lf", 2.25); }, true, 1, L"arg[1](long double)=2.250000 "},
    {"p_is_unchecked", [] { return CheckW(L"%p", reinterpret_cast<void*>(0x10)); }, true, 1,
     L"arg[1](void*)=0000000000000010 "},
    {"s_is_wide", [] { return CheckW(L"%s", L"wide"); }, true, 1, L"arg[1](wchar_t*)=wide "},
    {"S_is_narrow", [] { return CheckW(L"%S", "narrow"); }, true, 1, L"arg[1](char*)=narrow "},
    {"hs_is_narrow", [] { return CheckW(L"%hs", "h"); }, true, 1, L"arg[1](char*)=h "},
    {"ls_is_wide", [] { return CheckW(L"%ls", L"l"); }, true, 1, L"arg[1](wchar_t*)=l "},
    {"hS_is_narrow", [] { return CheckW(L"%hS", "hS"); }, true, 1, L"arg[1](char*)=hS "},
    {"lS_is_wide", [] { return CheckW(L"%lS", L"lS"); }, true, 1, L"arg[1](wchar_t*)=lS "},
    {"I64s_as_none", [] { return CheckW(L"%I64s", L"x"); }, true, 1, L"arg[1](wchar_t*)=x "},
    {"null_string_is_valid", [] { return CheckW(L"%s", kNoWide); }, true, 1, L"arg[1](wchar_t*)=null "},
    {"null_count_target_is_invalid", [] { return CheckW(L"%n", kNoTarget); }, false, 1,
     L"arg[1](int*)=BAD_PTR(0000000000000000) "},
    {"I32_is_invalid", [] { return CheckW(L"%I32d", 5); }, false, 0, L""},
    {"I_alone_is_invalid", [] { return CheckW(L"%Id", 5); }, false, 0, L""},
    {"ll_is_invalid", [] { return CheckW(L"%lld", 5LL); }, false, 0, L""},
    {"unknown_conversion_is_invalid", [] { return CheckW(L"%y", 5); }, false, 0, L""},
    {"percent_at_end_is_invalid", [] { return CheckW(L"50%"); }, false, 0, L""},
    {"percent_percent_takes_nothing", [] { return CheckW(L"100%% %d", 1); }, true, 1, L"arg[1](int)=1 "},
    {"star_width_is_an_int", [] { return CheckW(L"%*d", 5, 42); }, true, 2, L"arg[1](int)=5 arg[2](int)=42 "},
    {"star_precision_is_an_int", [] { return CheckW(L"%-+ #8.*s", 3, L"abcdef"); }, true, 2,
     L"arg[1](int)=3 arg[2](wchar_t*)=abcdef "},
    {"flags_and_width_are_skipped", [] { return CheckW(L"%-+ #10.3f", 1.0); }, true, 1,
     L"arg[1](double)=1.000000 "},
    {"no_directive", [] { return CheckW(L"plain text"); }, true, 0, L""},
    {"first_failure_stops", [] { return CheckW(L"%d %n %d", 1, kNoTarget, 3); }, false, 2,
     L"arg[1](int)=1 arg[2](int*)=BAD_PTR(0000000000000000) "},
    {"invalid_after_good_keeps_them", [] { return CheckW(L"%d %I32d", 1, 2); }, false, 1, L"arg[1](int)=1 "},
    {"several_arguments", [] { return CheckW(L"%s=%u (%hs)", L"k", 3u, "v"); }, true, 3,
     L"arg[1](wchar_t*)=k arg[2](unsigned int)=3 arg[3](char*)=v "},
};
INSTANTIATE_TEST_SUITE_P(Table, WideConversion, testing::ValuesIn(kWideCases), CaseName);

const ConversionCase kNarrowCases[] = {
    {"c_is_char", [] { return CheckA("%c", 'a'); }, true, 1, L"arg[1](char)=a "},
    {"c_uses_ansi_code_page", [] { return CheckA("%c", '\xE9'); }, true, 1, L"arg[1](char)=\u00e9 "},
    {"C_is_wchar", [] { return CheckA("%C", L'b'); }, true, 1, L"arg[1](wchar_t)=b "},
    {"hC_is_char", [] { return CheckA("%hC", 'c'); }, true, 1, L"arg[1](char)=c "},
    {"lc_is_wchar", [] { return CheckA("%lc", L'd'); }, true, 1, L"arg[1](wchar_t)=d "},
    {"s_is_narrow", [] { return CheckA("%s", "narrow"); }, true, 1, L"arg[1](char*)=narrow "},
    {"s_uses_ansi_code_page", [] { return CheckA("%s", "\xE9t\xE9"); }, true, 1,
     L"arg[1](char*)=\u00e9t\u00e9 "},
    {"S_is_wide", [] { return CheckA("%S", L"wide"); }, true, 1, L"arg[1](wchar_t*)=wide "},
    {"hs_is_narrow", [] { return CheckA("%hs", "h"); }, true, 1, L"arg[1](char*)=h "},
    {"ls_is_wide", [] { return CheckA("%ls", L"l"); }, true, 1, L"arg[1](wchar_t*)=l "},
    {"null_wide_string_is_valid", [] { return CheckA("%S", kNoWide); }, true, 1, L"arg[1](wchar_t*)=null "},
    {"null_narrow_string_is_valid", [] { return CheckA("%s", kNoNarrow); }, true, 1, L"arg[1](char*)=null "},
    {"d_is_int", [] { return CheckA("%d", -9); }, true, 1, L"arg[1](int)=-9 "},
    {"hi_is_short", [] { return CheckA("%hi", 0x12345); }, true, 1, L"arg[1](short int)=9029 "},
    {"li_is_long", [] { return CheckA("%li", 12L); }, true, 1, L"arg[1](long int)=12 "},
    {"I64i_is_int64", [] { return CheckA("%I64i", 1LL << 40); }, true, 1, L"arg[1](__int64)=1099511627776 "},
    {"hu_is_ushort", [] { return CheckA("%hu", -1); }, true, 1, L"arg[1](unsigned short int)=65535 "},
    {"I64u_is_uint64", [] { return CheckA("%I64u", 1ULL << 63); }, true, 1,
     L"arg[1](unsigned __int64)=9223372036854775808 "},
    {"x_is_unsigned", [] { return CheckA("%x", 0xFFFFFFFFu); }, true, 1, L"arg[1](unsigned int)=4294967295 "},
    {"lf_is_long_double", [] { return CheckA("%lf", 0.5); }, true, 1, L"arg[1](long double)=0.500000 "},
    {"G_is_double", [] { return CheckA("%G", 0.5); }, true, 1, L"arg[1](double)=0.500000 "},
    {"null_count_target_is_invalid", [] { return CheckA("%n", kNoTarget); }, false, 1,
     L"arg[1](int*)=BAD_PTR(0000000000000000) "},
    {"I32_is_invalid", [] { return CheckA("%I32u", 5u); }, false, 0, L""},
    {"unknown_conversion_is_invalid", [] { return CheckA("%q", 5); }, false, 0, L""},
    {"L_prefix_is_invalid", [] { return CheckA("%Lf", 1.0); }, false, 0, L""},
    {"percent_percent_takes_nothing", [] { return CheckA("%%"); }, true, 0, L""},
    {"star_width_is_an_int", [] { return CheckA("%*.*f", 6, 2, 1.25); }, true, 3,
     L"arg[1](int)=6 arg[2](int)=2 arg[3](double)=1.250000 "},
};
INSTANTIATE_TEST_SUITE_P(Table, NarrowConversion, testing::ValuesIn(kNarrowCases), CaseName);

// A readable page followed by a no-access one: the last bytes of the first
// page are readable, the first byte of the second is not.
class GuardedPage : public testing::Test {
protected:
    void SetUp() override
    {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        pageSize_ = info.dwPageSize;
        base_ = static_cast<char*>(::VirtualAlloc(nullptr, 2 * pageSize_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        ASSERT_NE(nullptr, base_);
        DWORD previous = 0;
        ASSERT_TRUE(::VirtualProtect(base_ + pageSize_, pageSize_, PAGE_NOACCESS, &previous));
    }
    void TearDown() override
    {
        if (base_ != nullptr) {
            ::VirtualFree(base_, 0, MEM_RELEASE);
        }
    }

    // Places `bytes` so that they end exactly where the readable page ends.
    char* AtPageEnd(const void* bytes, std::size_t count)
    {
        char* place = base_ + pageSize_ - count;
        std::memcpy(place, bytes, count);
        return place;
    }
    char* NoAccess() const { return base_ + pageSize_; }

    std::size_t pageSize_ = 0;
    char* base_ = nullptr;
};

TEST_F(GuardedPage, WideStringEndingAtPageEndIsValid)
{
    const wchar_t* text = reinterpret_cast<const wchar_t*>(AtPageEnd(L"end", sizeof(L"end")));
    const ArgumentCheck result = CheckW(L"%s", text);
    EXPECT_TRUE(result.valid);
    EXPECT_EQ(L"arg[1](wchar_t*)=end ", result.rendered);
}

TEST_F(GuardedPage, NarrowStringEndingAtPageEndIsValid)
{
    const char* text = AtPageEnd("end", sizeof("end"));
    const ArgumentCheck result = CheckA("%s", text);
    EXPECT_TRUE(result.valid);
    EXPECT_EQ(L"arg[1](char*)=end ", result.rendered);
}

TEST_F(GuardedPage, StringRunningIntoNoAccessPageIsBad)
{
    const char* text = AtPageEnd("abc", 3); // no terminator before the guard
    const ArgumentCheck result = CheckA("%d%s", 1, text);
    EXPECT_FALSE(result.valid);
    EXPECT_EQ(2, result.argCount);
    EXPECT_EQ(L"arg[1](int)=1 arg[2](char*)=BAD_PTR(" + PointerText(text) + L") ", result.rendered);
}

TEST_F(GuardedPage, StringInNoAccessPageIsBad)
{
    const ArgumentCheck result = CheckW(L"%s", reinterpret_cast<const wchar_t*>(NoAccess()));
    EXPECT_FALSE(result.valid);
    EXPECT_EQ(1, result.argCount);
    EXPECT_EQ(L"arg[1](wchar_t*)=BAD_PTR(" + PointerText(NoAccess()) + L") ", result.rendered);
}

TEST_F(GuardedPage, CountTargetAtPageEndIsValid)
{
    const int value = 0;
    int* target = reinterpret_cast<int*>(AtPageEnd(&value, sizeof(value)));
    const ArgumentCheck result = CheckW(L"%n", target);
    EXPECT_TRUE(result.valid);
    EXPECT_EQ(L"arg[1](int*)=" + PointerText(target) + L" ", result.rendered);
}

TEST_F(GuardedPage, CountTargetStraddlingTheGuardIsBad)
{
    int* target = reinterpret_cast<int*>(base_ + pageSize_ - 2);
    const ArgumentCheck result = CheckW(L"%n", target);
    EXPECT_FALSE(result.valid);
    EXPECT_EQ(L"arg[1](int*)=BAD_PTR(" + PointerText(target) + L") ", result.rendered);
}

TEST_F(GuardedPage, UnreadableFormatHasNoArguments)
{
    const ArgumentCheck result = CheckW(reinterpret_cast<const wchar_t*>(NoAccess()), 1, 2);
    EXPECT_FALSE(result.valid);
    EXPECT_EQ(0, result.argCount);
    EXPECT_EQ(L"", result.rendered);
}

TEST_F(GuardedPage, FormatEndingAtPageEndIsChecked)
{
    const char* format = AtPageEnd("%d", sizeof("%d"));
    const ArgumentCheck result = CheckA(format, 12);
    EXPECT_TRUE(result.valid);
    EXPECT_EQ(L"arg[1](int)=12 ", result.rendered);
}

TEST_F(GuardedPage, InvalidEntryShowsUnreadableFormatAndUserAsBadPointers)
{
    const ArgumentCheck check = CheckA(NoAccess());
    EXPECT_EQ(L"Invalid log entry - Level:5, EventId:0(0x00000000), Format:BAD_PTR(" + PointerText(NoAccess()) +
                  L"), User:BAD_PTR(" + PointerText(NoAccess() + 8) + L"), ArgCount:0, Args:<null>",
              InvalidLogEntryText(LogCharKind::Narrow, 5, 0, NoAccess(), NoAccess() + 8, check));
}

TEST(ArgumentCheckFormat, NullFormatHasNoArguments)
{
    const ArgumentCheck result = CheckW(nullptr, 1);
    EXPECT_FALSE(result.valid);
    EXPECT_EQ(0, result.argCount);
    EXPECT_EQ(L"", result.rendered);
}

TEST(ArgumentCheckFormat, CheckLeavesTheListForTheFormatter)
{
    struct Both {
        static std::wstring Run(const wchar_t* format, ...)
        {
            va_list args;
            va_start(args, format);
            const ArgumentCheck check =
                CheckLogArguments(LogCharKind::Wide, format, args, ArgumentRendering::Always);
            wchar_t buffer[64] = {};
            FormatLogText(buffer, 64, format, args);
            va_end(args);
            return check.rendered + L"|" + buffer;
        }
    };
    EXPECT_EQ(L"arg[1](int)=3 arg[2](wchar_t*)=x |3 x", Both::Run(L"%d %s", 3, L"x"));
}

TEST(InvalidLogEntry, WideEntryWithUser)
{
    const wchar_t* format = L"%d %n";
    const ArgumentCheck check = CheckW(format, 7, kNoTarget);
    ASSERT_FALSE(check.valid);
    EXPECT_EQ(L"Invalid log entry - Level:3, EventId:9029(0x00012345), Format:%d %n, User:ctx, ArgCount:2, "
              L"Args:arg[1](int)=7 arg[2](int*)=BAD_PTR(0000000000000000) ",
              InvalidLogEntryText(LogCharKind::Wide, 3, 0x12345, format, L"ctx", check));
}

TEST(InvalidLogEntry, NarrowEntryWithoutUserOrArguments)
{
    const char* format = "caf\xE9 %I32d";
    const ArgumentCheck check = CheckA(format, 1);
    ASSERT_FALSE(check.valid);
    EXPECT_EQ(L"Invalid log entry - Level:0, EventId:65535(0xFFFFFFFF), Format:caf\u00e9 %I32d, User:<null>, "
              L"ArgCount:0, Args:<null>",
              InvalidLogEntryText(LogCharKind::Narrow, 0, -1, format, nullptr, check));
}

TEST(InvalidLogEntry, NarrowUserAndNullFormat)
{
    const ArgumentCheck check = CheckA(nullptr);
    EXPECT_EQ(L"Invalid log entry - Level:15, EventId:1(0x00010001), Format:<null>, User:\u00e9ric, ArgCount:0, "
              L"Args:<null>",
              InvalidLogEntryText(LogCharKind::Narrow, 15, 0x10001, nullptr, "\xE9ric", check));
}

TEST(FormatLogText, WideMatchesTheRuntime)
{
    wchar_t buffer[256];
    const wchar_t* format = L"%d|%5.2f|%-6s|%hs|%S|%I64x|%c|%hc|%%|%*d|%.*ls|%05u|%hd|%e|%p";
    void* pointer = reinterpret_cast<void*>(0xABC);
    const int result = FormatW(buffer, 256, format, -5, 1.5, L"ab", "nar", "row", 0xFFFFFFFFFFLL, L'Z', 'y', 5, 42, 3,
                               L"abcdef", 12u, 0x1FFFF, 1.5, pointer);
    const std::wstring expected = L"-5| 1.50|ab    |nar|row|ffffffffff|Z|y|%|   42|abc|00012|-1|1.500000e+000|"
                                  L"0000000000000ABC";
    EXPECT_EQ(expected, buffer);
    EXPECT_EQ(static_cast<int>(expected.size()), result);
    EXPECT_EQ(RuntimeW(format, -5, 1.5, L"ab", "nar", "row", 0xFFFFFFFFFFLL, L'Z', 'y', 5, 42, 3, L"abcdef", 12u,
                       0x1FFFF, 1.5, pointer),
              buffer);
}

TEST(FormatLogText, NarrowMatchesTheRuntime)
{
    char buffer[256];
    const char* format = "%s|%S|%c|%C|%ls|%I64d|%-4i|%x|%.3f";
    const int result = FormatA(buffer, 256, format, "nar", L"wide", 'x', L'y', L"l", -5000000000LL, 7, 255u, 0.5);
    const std::string expected = "nar|wide|x|y|l|-5000000000|7   |ff|0.500";
    EXPECT_EQ(expected, buffer);
    EXPECT_EQ(static_cast<int>(expected.size()), result);
    EXPECT_EQ(RuntimeA(format, "nar", L"wide", 'x', L'y', L"l", -5000000000LL, 7, 255u, 0.5), buffer);
}

TEST(FormatLogText, CountConversionWritesNothingAndOutputGoesOn)
{
    int target = 77;
    short shortTarget = 5;
    long long longTarget = 9;
    wchar_t buffer[64];
    EXPECT_EQ(8, FormatW(buffer, 64, L"ab%ncd%hn%I64n%d", &target, &shortTarget, &longTarget, 1234));
    EXPECT_EQ(std::wstring(L"abcd1234"), buffer);
    EXPECT_EQ(77, target);
    EXPECT_EQ(5, shortTarget);
    EXPECT_EQ(9, longTarget);

    char narrow[64];
    EXPECT_EQ(4, FormatA(narrow, 64, "x%ny%dz", &target, 0));
    EXPECT_EQ(std::string("xy0z"), narrow);
    EXPECT_EQ(77, target);
}

TEST_F(GuardedPage, CountConversionNeverTouchesItsTarget)
{
    wchar_t buffer[16];
    EXPECT_EQ(3, FormatW(buffer, 16, L"a%nb%s", reinterpret_cast<int*>(NoAccess()), L"c"));
    EXPECT_EQ(std::wstring(L"abc"), buffer);
}

TEST(FormatLogText, WideCutAtSizeMinusOne)
{
    wchar_t buffer[12];
    std::fill(buffer, buffer + 12, L'#');
    EXPECT_EQ(-1, FormatW(buffer, 8, L"%s-%d", L"abcdef", 12345));
    EXPECT_EQ(std::wstring(L"abcdef-"), buffer);
    EXPECT_EQ(L'#', buffer[8]); // nothing beyond the given size
}

TEST(FormatLogText, WideCutInLiteralText)
{
    wchar_t buffer[4];
    EXPECT_EQ(-1, FormatW(buffer, 4, L"abcdef"));
    EXPECT_EQ(std::wstring(L"abc"), buffer);
}

TEST(FormatLogText, ExactFitIsNotCut)
{
    wchar_t buffer[8];
    EXPECT_EQ(7, FormatW(buffer, 8, L"abc%04d", 12));
    EXPECT_EQ(std::wstring(L"abc0012"), buffer);
    EXPECT_EQ(-1, FormatW(buffer, 8, L"abc%05d", 12));
    EXPECT_EQ(std::wstring(L"abc0001"), buffer);
}

TEST(FormatLogText, NarrowCutAtSizeMinusOne)
{
    char buffer[10];
    std::fill(buffer, buffer + 10, '#');
    EXPECT_EQ(-1, FormatA(buffer, 6, "%d%s", 1234, "xyz"));
    EXPECT_EQ(std::string("1234x"), buffer);
    EXPECT_EQ('#', buffer[6]);
}

TEST(FormatLogText, SizeZeroWritesNothing)
{
    wchar_t buffer[2] = {L'#', L'#'};
    EXPECT_EQ(-1, FormatW(buffer, 0, L"x"));
    EXPECT_EQ(L'#', buffer[0]);
}

TEST(FormatLogText, UnknownDirectiveIsCopied)
{
    wchar_t buffer[64];
    EXPECT_EQ(12, FormatW(buffer, 64, L"%y|%5k|%d|50%", 5));
    EXPECT_EQ(std::wstring(L"%y|%5k|5|50%"), buffer);
}

TEST(FormatLogText, RuntimeSizePrefixesTakeTheirArguments)
{
    wchar_t buffer[128];
    FormatW(buffer, 128, L"%I32d|%lld|%hhd|%hhu|%Iu|%wc|%ws|%Lf|%s", 7, -5000000000LL, 0x1FF, 0x1FF,
            18446744073709551615ULL, L'w', L"ws", 1.5, L"end");
    EXPECT_EQ(std::wstring(L"7|-5000000000|-1|255|18446744073709551615|w|ws|1.500000|end"), buffer);
}

TEST(FormatLogText, StarValues)
{
    wchar_t buffer[64];
    FormatW(buffer, 64, L"[%*d][%-*d][%.*f][%*.*s]", -4, 7, -3, 8, -1, 1.5, 4, 2, L"abc");
    EXPECT_EQ(std::wstring(L"[7   ][8  ][1.500000][  ab]"), buffer);
}

} // namespace
