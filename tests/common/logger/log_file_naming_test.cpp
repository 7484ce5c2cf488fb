#include <gtest/gtest.h>

#include <windows.h>

#include <ctime>
#include <string>
#include <vector>

#include "common/logger/log_file_naming.h"
#include "scoped_temp_folder.h"

namespace {

std::tm Date(int year, int month, int day)
{
    std::tm date = {};
    date.tm_year = year - 1900;
    date.tm_mon = month - 1;
    date.tm_mday = day;
    return date;
}

// 9 December 2026, the day all names here are made on.
const std::tm kToday = Date(2026, 12, 9);

std::time_t LocalTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    std::tm time = Date(year, month, day);
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    time.tm_isdst = -1;
    return std::mktime(&time);
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void CreateFolder(const std::wstring& path)
{
    ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr)) << ::GetLastError();
}

std::time_t Now()
{
    return std::time(nullptr);
}

FILETIME ToFileTime(std::time_t when)
{
    ULARGE_INTEGER ticks;
    ticks.QuadPart = static_cast<unsigned long long>(when) * 10000000ULL + 116444736000000000ULL;
    FILETIME time;
    time.dwLowDateTime = ticks.LowPart;
    time.dwHighDateTime = ticks.HighPart;
    return time;
}

// Creates an empty file whose creation, access and write times are all `when`.
void CreateFileAt(const std::wstring& path, std::time_t when)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << ::GetLastError();
    const FILETIME time = ToFileTime(when);
    const BOOL set = ::SetFileTime(file, &time, &time, &time);
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    ASSERT_TRUE(set) << error;
}

void CreateFileNow(const std::wstring& path)
{
    CreateFileAt(path, Now());
}

LogFileNaming Simple(const std::wstring& logFile)
{
    LogFileNaming naming;
    naming.logFile = logFile;
    naming.fileDate = kToday;
    return naming;
}

LogFileNaming Structured(const std::wstring& folder)
{
    LogFileNaming naming;
    naming.structuredNaming = true;
    naming.logFolder = folder;
    naming.logFilePrefix = L"Svc";
    naming.computerName = L"HOST";
    naming.ident = L"Core";
    naming.instanceNumber = 2;
    naming.fileDate = kToday;
    return naming;
}

TEST(LogFileNamingSimple, NamesFromTheOptions)
{
    struct Case {
        int instance;
        bool dailyFile;
        bool autoRoll;
        bool forceNew;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {0, false, false, false, L"Svc.txt"},
        {2, false, false, false, L"Svc-002.txt"},
        {0, true, false, false, L"Svc20261209.txt"},
        {2, true, false, false, L"Svc-002-20261209.txt"},
        {0, true, true, false, L"Svc20261209_000.txt"},
        {2, true, true, false, L"Svc-002-20261209_000.txt"},
        {0, false, true, false, L"Svc_000.txt"},
        {0, false, false, true, L"Svc_000.txt"},
        {2, false, false, true, L"Svc-002_000.txt"},
        {998, true, false, true, L"Svc-998-20261209_000.txt"},
    };
    ScopedTempFolder temp;
    for (const Case& c : cases) {
        LogFileNaming naming = Simple(temp / L"Svc.txt");
        naming.instanceNumber = c.instance;
        naming.dailyFile = c.dailyFile;
        naming.autoRoll = c.autoRoll;
        EXPECT_EQ(MakeLogFileName(naming, c.forceNew), temp / c.expected)
            << c.instance << " " << c.dailyFile << " " << c.autoRoll << " " << c.forceNew;
    }
}

TEST(LogFileNamingSimple, ExtensionIsOnlyLookedForInTheFileName)
{
    struct Case {
        const wchar_t* logFile;
        int instance;
        bool dailyFile;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"my.logs\\Svc", 0, true, L"my.logs\\Svc20261209"},
        {L"my.logs\\Svc", 2, false, L"my.logs\\Svc-002"},
        {L"my.logs\\Svc.log", 2, true, L"my.logs\\Svc-002-20261209.log"},
        {L"my.logs/Svc", 2, true, L"my.logs/Svc-002-20261209"},
        {L"Svc.old.txt", 0, true, L"Svc.old20261209.txt"},
    };
    ScopedTempFolder temp;
    for (const Case& c : cases) {
        LogFileNaming naming = Simple(temp / c.logFile);
        naming.instanceNumber = c.instance;
        naming.dailyFile = c.dailyFile;
        EXPECT_EQ(MakeLogFileName(naming, false), temp / c.expected) << c.logFile;
    }
}

TEST(LogFileNamingSimple, RollNumberContinuesAfterTheLargestInUse)
{
    ScopedTempFolder temp;
    CreateFileNow(temp / L"Svc20261209_000.txt");
    CreateFileNow(temp / L"Svc20261209_001.txt");
    // Look-alikes that are no roll numbers, and another day's numbers.
    CreateFileNow(temp / L"Svc20261209_9x9.txt");
    CreateFileNow(temp / L"Svc20261209_abc.txt");
    CreateFileNow(temp / L"Svc20261209_07.txt");
    CreateFileNow(temp / L"Svc20261208_005.txt");
    CreateFolder(temp / L"Svc20261209_400.txt");

    LogFileNaming naming = Simple(temp / L"Svc.txt");
    naming.dailyFile = true;
    naming.autoRoll = true;
    EXPECT_EQ(MakeLogFileName(naming, false), temp / L"Svc20261209_002.txt");

    naming.dailyFile = false;
    naming.autoRoll = false;
    CreateFileNow(temp / L"Svc_004.txt");
    EXPECT_EQ(MakeLogFileName(naming, false), temp / L"Svc.txt");
    EXPECT_EQ(MakeLogFileName(naming, true), temp / L"Svc_005.txt");
}

TEST(LogFileNamingSimple, NamesLongerThan256CharactersAreRefused)
{
    ScopedTempFolder temp;
    const std::wstring folder = temp.Path() + L"\\";
    auto nameOfLength = [&](std::size_t length) {
        return folder + std::wstring(length - folder.size() - 4, L'a') + L".txt";
    };
    LogFileNaming naming = Simple(nameOfLength(256));
    EXPECT_EQ(MakeLogFileName(naming, false), naming.logFile);
    naming.logFile = nameOfLength(257);
    EXPECT_EQ(MakeLogFileName(naming, false), L"");

    // The daily date and the roll number count too.
    naming.logFile = nameOfLength(248);
    naming.dailyFile = true;
    EXPECT_EQ(MakeLogFileName(naming, false).size(), 256u);
    EXPECT_EQ(MakeLogFileName(naming, true), L"");
}

TEST(LogFileNamingStructured, LayoutsStartAtSequenceOne)
{
    struct Case {
        bool dailyFile;
        bool dailyFolder;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {true, true, L"20261209\\SvcHOST_Core_02_20261209_0001.txt"},
        {true, false, L"SvcHOST_Core_02_20261209_0001.txt"},
        {false, true, L"20261209\\SvcHOST_Core_02_0001.txt"},
        {false, false, L"SvcHOST_Core_02_0001.txt"},
    };
    ScopedTempFolder temp;
    for (const Case& c : cases) {
        for (bool autoRoll : {false, true}) {
            LogFileNaming naming = Structured(temp.Path());
            naming.dailyFile = c.dailyFile;
            naming.dailyFolder = c.dailyFolder;
            naming.autoRoll = autoRoll;
            EXPECT_EQ(MakeLogFileName(naming, false), temp / c.expected) << c.expected << " " << autoRoll;
        }
    }
    // The date folder is the caller's to create.
    EXPECT_FALSE(Exists(temp / L"20261209"));
}

TEST(LogFileNamingStructured, SequenceContinuesTheHighestOfAnyPrefix)
{
    ScopedTempFolder temp;
    CreateFolder(temp / L"20261209");
    CreateFileNow(temp / L"20261209\\SvcHOST_Core_02_20261209_0001.txt");
    CreateFileNow(temp / L"20261209\\OtherHOST_Core_02_20261209_0003.txt");
    // Not this instance, not this day, not a sequence.
    CreateFileNow(temp / L"20261209\\SvcHOST_Core_03_20261209_0007.txt");
    CreateFileNow(temp / L"20261209\\SvcHOST_Core_02_20261208_0008.txt");
    CreateFileNow(temp / L"20261209\\SvcHOST_Core_02_20261209_00x9.txt");

    LogFileNaming naming = Structured(temp.Path());
    naming.dailyFile = true;
    naming.dailyFolder = true;
    EXPECT_EQ(MakeLogFileName(naming, false), temp / L"20261209\\SvcHOST_Core_02_20261209_0003.txt");
    EXPECT_EQ(MakeLogFileName(naming, true), temp / L"20261209\\SvcHOST_Core_02_20261209_0004.txt");
    naming.autoRoll = true;
    EXPECT_EQ(MakeLogFileName(naming, false), temp / L"20261209\\SvcHOST_Core_02_20261209_0004.txt");
}

TEST(LogFileNamingStructured, NamesLongerThan256CharactersAreRefused)
{
    ScopedTempFolder temp;
    LogFileNaming naming = Structured(temp.Path());
    const std::size_t fixed = temp.Path().size() + std::wstring(L"\\SvcHOST_Core_02_0001.txt").size();
    naming.ident = std::wstring(256 - fixed + 4, L'c');
    EXPECT_EQ(MakeLogFileName(naming, false).size(), 256u);
    naming.ident += L"c";
    EXPECT_EQ(MakeLogFileName(naming, false), L"");
}

TEST(LogFileNamingDelete, OldSimpleDailyFilesGoAndLookAlikesStay)
{
    ScopedTempFolder temp;
    const std::time_t old = LocalTime(2026, 12, 1, 12);
    // Three days before 9 December: anything written before 6 December 00:00 goes.
    const std::time_t cutoff = LocalTime(2026, 12, 6);
    const std::vector<std::wstring> deleted = {
        L"Svc20261201.txt", L"Svc20261201_003.txt", L"Svc20261205.txt", L"svc20240229.TXT"};
    const std::vector<std::wstring> kept = {
        L"Svc2026120X.txt",     L"Svc20261399.txt",    L"Svc20261209_abc.txt", L"Svc20260230.txt",
        L"Svc20261201_01.txt",  L"Svc20261201_0001.txt", L"Svc.txt",           L"Other20261201.txt",
        L"Svc-002-20261201.txt", L"Svc20261201.log",    L"Svc20261201x.txt",  L"Svc20261206.txt",
        L"Svc20261208_000.txt"};
    for (const std::wstring& name : deleted) {
        CreateFileAt(temp / name, name == L"Svc20261205.txt" ? cutoff - 1 : old);
    }
    for (const std::wstring& name : kept) {
        const bool recent = name == L"Svc20261206.txt" || name == L"Svc20261208_000.txt";
        CreateFileAt(temp / name, name == L"Svc20261206.txt" ? cutoff : recent ? Now() : old);
    }

    LogFileNaming naming = Simple(temp / L"Svc.txt");
    naming.dailyFile = true;
    naming.maxDailyFileAge = 3;
    EXPECT_EQ(MakeLogFileName(naming, false), temp / L"Svc20261209.txt");
    for (const std::wstring& name : deleted) {
        EXPECT_FALSE(Exists(temp / name)) << name;
    }
    for (const std::wstring& name : kept) {
        EXPECT_TRUE(Exists(temp / name)) << name;
    }
}

TEST(LogFileNamingDelete, InstanceFilesAndAgeZero)
{
    ScopedTempFolder temp;
    const std::time_t old = LocalTime(2026, 11, 1);
    CreateFileAt(temp / L"Svc-002-20261101.txt", old);
    CreateFileAt(temp / L"Svc-002-20261101_000.txt", old);
    CreateFileAt(temp / L"Svc20261101.txt", old);

    LogFileNaming naming = Simple(temp / L"Svc.txt");
    naming.dailyFile = true;
    naming.instanceNumber = 2;
    naming.maxDailyFileAge = 0;
    EXPECT_EQ(MakeLogFileName(naming, false), temp / L"Svc-002-20261209.txt");
    EXPECT_TRUE(Exists(temp / L"Svc-002-20261101.txt"));

    naming.maxDailyFileAge = 30;
    EXPECT_EQ(MakeLogFileName(naming, false), temp / L"Svc-002-20261209.txt");
    EXPECT_FALSE(Exists(temp / L"Svc-002-20261101.txt"));
    EXPECT_FALSE(Exists(temp / L"Svc-002-20261101_000.txt"));
    EXPECT_TRUE(Exists(temp / L"Svc20261101.txt"));
}

TEST(LogFileNamingDelete, OldStructuredFilesAndEmptyDateFoldersGo)
{
    ScopedTempFolder temp;
    const std::time_t old = LocalTime(2026, 12, 1, 12);
    const std::time_t now = Now();
    CreateFolder(temp / L"20261201");
    CreateFileAt(temp / L"20261201\\SvcHOST_Core_02_20261201_0001.txt", old);
    CreateFileAt(temp / L"20261201\\AnyHOST_Core_02_20261201_0002.txt", old);
    CreateFolder(temp / L"20261202");
    CreateFileAt(temp / L"20261202\\SvcHOST_Core_02_20261202_0001.txt", old);
    CreateFileAt(temp / L"20261202\\SvcHOST_Core_03_20261202_0001.txt", old);
    CreateFolder(temp / L"20261208");
    CreateFileAt(temp / L"20261208\\SvcHOST_Core_02_20261208_0001.txt", now);
    CreateFolder(temp / L"2026120X");
    CreateFileAt(temp / L"2026120X\\SvcHOST_Core_02_20261201_0001.txt", old);
    CreateFolder(temp / L"20261399");
    CreateFileAt(temp / L"20261399\\SvcHOST_Core_02_20261201_0001.txt", old);
    CreateFileAt(temp / L"SvcHOST_Core_02_20261201_0003.txt", old);
    CreateFileAt(temp / L"SvcHOST_Core_02_2026120X_0001.txt", old);
    CreateFileAt(temp / L"SvcHOST_Core_02_20261201_000x.txt", old);
    CreateFileAt(temp / L"SvcHOST_Core_02_20261207_0001.txt", now);

    LogFileNaming naming = Structured(temp.Path());
    naming.dailyFile = true;
    naming.dailyFolder = true;
    naming.maxDailyFileAge = 3;
    EXPECT_EQ(MakeLogFileName(naming, false), temp / L"20261209\\SvcHOST_Core_02_20261209_0001.txt");

    EXPECT_FALSE(Exists(temp / L"20261201"));
    EXPECT_FALSE(Exists(temp / L"20261202\\SvcHOST_Core_02_20261202_0001.txt"));
    EXPECT_TRUE(Exists(temp / L"20261202\\SvcHOST_Core_03_20261202_0001.txt"));
    EXPECT_TRUE(Exists(temp / L"20261208\\SvcHOST_Core_02_20261208_0001.txt"));
    EXPECT_TRUE(Exists(temp / L"2026120X\\SvcHOST_Core_02_20261201_0001.txt"));
    EXPECT_TRUE(Exists(temp / L"20261399\\SvcHOST_Core_02_20261201_0001.txt"));
    EXPECT_FALSE(Exists(temp / L"SvcHOST_Core_02_20261201_0003.txt"));
    EXPECT_TRUE(Exists(temp / L"SvcHOST_Core_02_2026120X_0001.txt"));
    EXPECT_TRUE(Exists(temp / L"SvcHOST_Core_02_20261201_000x.txt"));
    EXPECT_TRUE(Exists(temp / L"SvcHOST_Core_02_20261207_0001.txt"));
}

TEST(LogFileNamingHost, UpperCasedDnsHostName)
{
    wchar_t expected[256] = {};
    DWORD size = 256;
    ASSERT_TRUE(::GetComputerNameExW(ComputerNameDnsHostname, expected, &size));
    std::wstring name(expected, size);
    for (wchar_t& c : name) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    const std::wstring host = LocalDnsHostName();
    EXPECT_EQ(host, name.substr(0, 127));
    EXPECT_FALSE(host.empty());
}

}  // namespace
