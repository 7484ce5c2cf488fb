// The daily diagnostic file: where it goes, what its lines look like, which
// messages reach it, and what is copied into the caller's record.

#include <gtest/gtest.h>

#include <windows.h>

#include <clocale>
#include <new>
#include <cstdio>
#include <cwctype>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "WMIRouterClient/diagnostic_log.h"
#include "file_contents.h"
#include "scoped_environment_variable.h"
#include "scoped_temp_folder.h"

namespace {

SYSTEMTIME g_now = {};

void WINAPI FakeClock(SYSTEMTIME* time) { *time = g_now; }

void SetNow(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    g_now = {};
    g_now.wYear = year;
    g_now.wMonth = month;
    g_now.wDay = day;
    g_now.wHour = hour;
    g_now.wMinute = minute;
    g_now.wSecond = second;
}

std::wstring UpperComputerName()
{
    wchar_t name[256] = {};
    DWORD units = 255;
    if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &units)) {
        return L"UNKNOWN";
    }
    std::wstring upper;
    for (const wchar_t* c = name; *c != L'\0'; ++c) {
        upper += static_cast<wchar_t>(std::towupper(*c));
    }
    return upper;
}

std::wstring DateText(const SYSTEMTIME& date)
{
    wchar_t text[16] = {};
    std::swprintf(text, 16, L"%04u%02u%02u", date.wYear, date.wMonth, date.wDay);
    return text;
}

// folder\yyyymmdd\COMPUTERNAME_log_yyyymmdd.txt
std::wstring DayFile(const std::wstring& folder, const SYSTEMTIME& date)
{
    const std::wstring day = DateText(date);
    return folder + L"\\" + day + L"\\" + UpperComputerName() + L"_log_" + day + L".txt";
}

class DiagnosticFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // As the DLL does at attach: text-mode output follows the user's code page.
        _wsetlocale(LC_ALL, L"");
        SetNow(2026, 12, 31, 23, 59, 58);
    }

    void Target(std::int32_t level) { ASSERT_EQ(0, log_.SetTarget(folder_.Path().c_str(), level)); }
    std::wstring TodaysFile() const { return DayFile(folder_.Path(), g_now); }
    std::vector<std::string> Lines() const { return SplitCrLfLines(ReadFileBytes(TodaysFile())); }

    ScopedTempFolder folder_;
    DiagnosticFile log_{&FakeClock};
    LogContext context_;
};

TEST(DiagnosticLog, WritesUnderTempInADayFolderNamedForTheComputer)
{
    ScopedTempFolder temp;
    ScopedEnvironmentVariable tempVariable(L"TEMP", temp.Path().c_str());
    SYSTEMTIME before = {};
    ::GetLocalTime(&before);
    LogContext context;
    EXPECT_EQ(&context, DiagnosticLog(3, 0, 0, 0, L"first line", "Test::Path", 1, &context));
    SYSTEMTIME after = {};
    ::GetLocalTime(&after);

    EXPECT_EQ(temp.Path(), GetDiagnosticLogFolder());
    EXPECT_EQ(3, GetDiagnosticLogLevel());
    const std::wstring name = UpperComputerName();
    EXPECT_EQ(std::wstring::npos, name.find_first_of(L"abcdefghijklmnopqrstuvwxyz"));
    // Either side of midnight, the file carries the date it was written on.
    EXPECT_TRUE(FileExists(DayFile(temp.Path(), before)) || FileExists(DayFile(temp.Path(), after)));
}

TEST(DiagnosticLog, WithoutTempNothingIsWrittenButTheContextIsStillCopied)
{
    ScopedEnvironmentVariable noTemp(L"TEMP", nullptr);
    LogContext context;
    EXPECT_EQ(&context, DiagnosticLog(1, 0, 0, 0, L"nowhere to go", "Test::NoTemp", 7, &context));
    EXPECT_STREQ(L"nowhere to go", context.text);
    EXPECT_STREQ(L"", GetDiagnosticLogFolder());
}

TEST_F(DiagnosticFileTest, LineFormatsByLevel)
{
    const struct {
        std::int32_t configured;
        std::int32_t level;
        const char* expected;
    } cases[] = {
        {3, 3, "12/31 23:59:58|  [CRefresher::CRefresher]- message at 3"},
        {4, 4, "12/31 23:59:58|D|321| [CRefresher::CRefresher]- message at 4"},
        {5, 0, "12/31 23:59:58|C [CRefresher::CRefresher]- message at 0"},
        {5, 1, "12/31 23:59:58|E [CRefresher::CRefresher]- message at 1"},
        {5, 2, "12/31 23:59:58|W [CRefresher::CRefresher]- message at 2"},
        {5, 5, "12/31 23:59:58|O [CRefresher::CRefresher]- message at 5"},
        {17, 9, "12/31 23:59:58|  [CRefresher::CRefresher]- message at 9"},
        {17, -1, "12/31 23:59:58|  [CRefresher::CRefresher]- message at -1"},
    };
    std::string expected;
    for (const auto& c : cases) {
        Target(c.configured);
        const std::wstring message = L"message at " + std::to_wstring(c.level);
        log_.Write(c.level, message.c_str(), "CRefresher::CRefresher", 321, nullptr);
        expected += std::string(c.expected) + "\r\n";
    }
    EXPECT_EQ(expected, ReadFileBytes(TodaysFile()));
}

TEST_F(DiagnosticFileTest, LevelFilter)
{
    // configured level -> the message levels that are written
    const struct {
        std::int32_t configured;
        std::set<std::int32_t> written;
    } cases[] = {
        {-1, {-1}},
        {0, {-1, 0}},
        {2, {-1, 0, 1, 2}},
        {3, {-1, 0, 1, 2, 3}},
        {4, {-1, 0, 1, 2, 3, 4, 5, 17}},
        {17, {-1, 0, 1, 2, 3, 4, 5, 17}},
    };
    for (const auto& c : cases) {
        ScopedTempFolder folder;
        DiagnosticFile log(&FakeClock);
        ASSERT_EQ(0, log.SetTarget(folder.Path().c_str(), c.configured));
        std::set<std::int32_t> written;
        for (std::int32_t level : {-1, 0, 1, 2, 3, 4, 5, 17}) {
            log.Write(level, (L"level " + std::to_wstring(level)).c_str(), "F::G", 1, nullptr);
        }
        for (const std::string& line : SplitCrLfLines(ReadFileBytes(DayFile(folder.Path(), g_now)))) {
            written.insert(std::stoi(line.substr(line.rfind(' ') + 1)));
        }
        EXPECT_EQ(c.written, written) << "configured level " << c.configured;
    }
}

TEST_F(DiagnosticFileTest, RepeatsAreWrittenOnceWhateverTheirLevelOrFunction)
{
    Target(5);
    LogContext second;
    EXPECT_EQ(&context_, log_.Write(1, L"same", "A::One", 1, &context_));
    EXPECT_EQ(&second, log_.Write(2, L"same", "B::Two", 2, &second));
    EXPECT_STREQ(L"same", second.text) << "a suppressed repeat is still copied";
    log_.Write(1, L"other", "A::One", 1, nullptr);
    log_.Write(1, L"same", "A::One", 1, nullptr);
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("12/31 23:59:58|E [A::One]- same", lines[0]);
    EXPECT_EQ("12/31 23:59:58|E [A::One]- other", lines[1]);
    EXPECT_EQ("12/31 23:59:58|E [A::One]- same", lines[2]);
}

TEST_F(DiagnosticFileTest, AMessageTheFilterDropsStillCountsAsTheLastOne)
{
    Target(3);
    log_.Write(4, L"trace", "A::One", 1, nullptr);
    log_.Write(1, L"trace", "A::One", 1, nullptr);
    log_.Write(1, L"failure", "A::One", 1, nullptr);
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("12/31 23:59:58|E [A::One]- failure", lines[0]);
}

TEST_F(DiagnosticFileTest, ContextCopyRules)
{
    Target(3);
    const std::wstring longMessage(3000, L'x');

    LogContext foreign;
    foreign.marker = 52;
    EXPECT_EQ(nullptr, log_.Write(1, L"to a foreign record", "A::B", 1, &foreign));
    EXPECT_STREQ(L"", foreign.text);

    // A record in memory that cannot be written is left alone.
    void* page = ::VirtualAlloc(nullptr, sizeof(LogContext), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(nullptr, page);
    auto* readOnly = new (page) LogContext;
    DWORD old = 0;
    ASSERT_TRUE(::VirtualProtect(page, sizeof(LogContext), PAGE_READONLY, &old));
    EXPECT_EQ(nullptr, log_.Write(1, L"to a read-only record", "A::B", 1, readOnly));
    EXPECT_STREQ(L"", readOnly->text);
    ::VirtualFree(page, 0, MEM_RELEASE);

    EXPECT_EQ(&context_, log_.Write(1, longMessage.c_str(), "A::B", 1, &context_));
    EXPECT_EQ(longMessage.substr(0, 2047), context_.text);

    LogContext untouched;
    untouched.text[0] = L'u';
    EXPECT_EQ(nullptr, log_.Write(1, L"", "A::B", 1, &untouched));
    EXPECT_EQ(nullptr, log_.Write(1, nullptr, "A::B", 1, &untouched));
    EXPECT_EQ(L'u', untouched.text[0]);

    // Every message with text was written, whatever became of its record.
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("12/31 23:59:58|E [A::B]- to a foreign record", lines[0]);
    EXPECT_EQ("12/31 23:59:58|E [A::B]- to a read-only record", lines[1]);
}

TEST_F(DiagnosticFileTest, ACutLineStillEndsItsLine)
{
    Target(3);
    log_.Write(1, std::wstring(3000, L'x').c_str(), "A::B", 1, nullptr);
    log_.Write(1, L"next", "A::B", 1, nullptr);
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(2046u, lines[0].size()) << "2047 units, the last one the line feed";
    EXPECT_EQ("12/31 23:59:58|E [A::B]- next", lines[1]);
}

TEST_F(DiagnosticFileTest, TextIsWrittenInTheUserCodePage)
{
    Target(3);
    log_.Write(1, L"caf\u00e9", "A::B", 1, nullptr);
    EXPECT_EQ("12/31 23:59:58|E [A::B]- caf\xE9\r\n", ReadFileBytes(TodaysFile()));
}

TEST_F(DiagnosticFileTest, MessagesEitherSideOfMidnightGoToTwoDays)
{
    Target(3);
    SetNow(2026, 12, 31, 23, 59, 59);
    log_.Write(1, L"old year", "A::B", 1, nullptr);
    const SYSTEMTIME first = g_now;
    SetNow(2027, 1, 1, 0, 0, 0);
    log_.Write(1, L"new year", "A::B", 1, nullptr);
    EXPECT_EQ("12/31 23:59:59|E [A::B]- old year\r\n", ReadFileBytes(DayFile(folder_.Path(), first)));
    EXPECT_EQ("01/01 00:00:00|E [A::B]- new year\r\n", ReadFileBytes(DayFile(folder_.Path(), g_now)));
}

TEST_F(DiagnosticFileTest, AFolderThatCannotBeCreatedWritesNothing)
{
    const std::wstring missingParent = folder_ / L"no\\such\\place";
    ASSERT_EQ(0, log_.SetTarget(missingParent.c_str(), 3));
    EXPECT_EQ(&context_, log_.Write(1, L"lost", "A::B", 1, &context_));
    EXPECT_FALSE(FileExists(folder_ / L"no"));
}

TEST_F(DiagnosticFileTest, SetTargetValidatesItsArguments)
{
    const std::wstring tooLong(300, L'f');
    const struct {
        const wchar_t* folder;
        std::int32_t level;
        std::int32_t result;
        const wchar_t* folderAfter;
        std::int32_t levelAfter;
    } cases[] = {
        {nullptr, 3, -1, L"", 3},
        {L"", 3, -1, L"", 3},
        {L"C:\\a", -2, -1, L"", 3},
        {L"C:\\a", 18, -1, L"", 3},
        {L"C:\\a", -1, 0, L"C:\\a", -1},
        {L"C:\\b", 17, 0, L"C:\\b", 17},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.result, log_.SetTarget(c.folder, c.level));
        EXPECT_STREQ(c.folderAfter, log_.Folder());
        EXPECT_EQ(c.levelAfter, log_.Level());
    }
    EXPECT_EQ(0, log_.SetTarget(tooLong.c_str(), 3));
    EXPECT_EQ(tooLong.substr(0, 260), log_.Folder());
}

TEST_F(DiagnosticFileTest, ConcurrentWritersLoseAndInterleaveNothing)
{
    Target(3);
    constexpr int kThreads = 6;
    constexpr int kMessages = 150;
    struct Writer {
        DiagnosticFile* log;
        int id;
    };
    std::vector<Writer> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.push_back({&log_, t});
    }
    std::vector<HANDLE> threads;
    for (Writer& writer : writers) {
        HANDLE thread = ::CreateThread(
            nullptr, 0,
            [](void* argument) -> DWORD {
                auto* w = static_cast<Writer*>(argument);
                LogContext context;
                for (int i = 0; i < kMessages; ++i) {
                    const std::wstring message =
                        L"thread " + std::to_wstring(w->id) + L" message " + std::to_wstring(i);
                    w->log->Write(3, message.c_str(), "T::Run", i, &context);
                }
                return 0;
            },
            &writer, 0, nullptr);
        ASSERT_NE(nullptr, thread);
        threads.push_back(thread);
    }
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForMultipleObjects(kThreads, threads.data(), TRUE, 60000));
    for (HANDLE thread : threads) {
        ::CloseHandle(thread);
    }

    const std::regex shape(R"(12/31 23:59:58\|  \[T::Run\]- thread (\d+) message (\d+))");
    std::set<std::pair<int, int>> seen;
    for (const std::string& line : Lines()) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
        EXPECT_TRUE(seen.insert({std::stoi(match[1]), std::stoi(match[2])}).second) << line;
    }
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kMessages), seen.size());
}

}  // namespace
