#include <gtest/gtest.h>

#include "common/util/system_error_text.h"

namespace {

TEST(SystemErrorText, NoCodeOrNoSystemTextGivesAnEmptyText)
{
    for (DWORD code : {0ul, 0x2000FFFFul /* not in the system table */}) {
        SystemErrorText error(code);
        EXPECT_EQ(code, error.Code());
        EXPECT_STREQ(L"", error.Text()) << code;
    }
}

TEST(SystemErrorText, IsTheSystemTextLessItsLineEnd)
{
    for (DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}) {
        wchar_t expected[512] = {};
        const DWORD units = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                             nullptr, code, 0x400, expected, 512, nullptr);
        ASSERT_GT(units, 2u);
        ASSERT_EQ(L'\n', expected[units - 1]) << "the system text ends its line";
        expected[units - 2] = L'\0';
        EXPECT_STREQ(expected, SystemErrorText(code).Text()) << code;
    }
}

}  // namespace
