// Event-log source installation and the event-source record.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "WMIRouterClient/event_source.h"
#include "registry_tree.h"

namespace {

const std::wstring kApplicationLog = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

class EventSourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        source_ = L"RouterClientTest-" + std::to_wstring(::GetCurrentProcessId());
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kApplicationLog + source_).c_str());
    }
    void TearDown() override
    {
        if (record_.handle != nullptr) {
            ::DeregisterEventSource(record_.handle);
        }
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kApplicationLog + source_).c_str());
    }

    std::wstring source_;
    EventSourceRecord record_ = {};
};

std::wstring ThisModule()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

TEST_F(EventSourceTest, InstallsTheSourceNamingTheInstallingModule)
{
    InstallEventSource(source_.c_str(), nullptr);
    const RegistryTree expected = {
        {L"", {{L"TypesSupported", L"REG_DWORD:7"}, {L"EventMessageFile", L"REG_SZ:" + ThisModule()}}},
    };
    EXPECT_EQ(expected, ReadRegistryTree(HKEY_LOCAL_MACHINE, kApplicationLog + source_));
}

TEST_F(EventSourceTest, StartLoggingFillsTheRecord)
{
    EXPECT_EQ(0, StartLogging(L"C:\\logs", 2, source_.c_str(), &record_));
    EXPECT_NE(nullptr, record_.handle);
    EXPECT_STREQ(source_.c_str(), record_.source);
    EXPECT_STREQ(L"C:\\logs", record_.folder);
    EXPECT_EQ(2, record_.level);
    EXPECT_TRUE(RegistryKeyExists(HKEY_LOCAL_MACHINE, kApplicationLog + source_));
}

TEST_F(EventSourceTest, StartLoggingWithoutAFolderStillInstallsAndRegisters)
{
    EXPECT_EQ(-1, StartLogging(L"", 3, source_.c_str(), &record_));
    EXPECT_NE(nullptr, record_.handle);
    EXPECT_STREQ(source_.c_str(), record_.source);
    EXPECT_TRUE(RegistryKeyExists(HKEY_LOCAL_MACHINE, kApplicationLog + source_));
}

TEST_F(EventSourceTest, StartLoggingRefusesAMissingSourceOrRecord)
{
    EventSourceRecord untouched;
    std::memset(&untouched, 0xAB, sizeof untouched);
    const EventSourceRecord before = untouched;
    EXPECT_EQ(-1, StartLogging(L"C:\\logs", 3, L"", &untouched));
    EXPECT_EQ(-1, StartLogging(L"C:\\logs", 3, nullptr, &untouched));
    EXPECT_EQ(0, std::memcmp(&before, &untouched, sizeof untouched));
    EXPECT_EQ(-1, StartLogging(L"C:\\logs", 3, source_.c_str(), nullptr));
}

TEST_F(EventSourceTest, LevelsOutsideTheRangeBecomeThreeAndLongTextsAreCut)
{
    const struct {
        std::int32_t given;
        std::int32_t stored;
    } cases[] = {{18, 3}, {-2, 3}, {-1, -1}, {17, 17}, {0, 0}};
    for (const auto& c : cases) {
        EventSourceRecord record = {};
        EXPECT_EQ(0, StartLogging(L"C:\\logs", c.given, source_.c_str(), &record));
        EXPECT_EQ(c.stored, record.level) << c.given;
        ::DeregisterEventSource(record.handle);
    }
    const std::wstring longText(300, L'f');
    EventSourceRecord record = {};
    EXPECT_EQ(0, StartLogging(longText.c_str(), 3, source_.c_str(), &record));
    EXPECT_EQ(longText.substr(0, 254), record.folder);
    ::DeregisterEventSource(record.handle);
}

TEST(ToEventLogType, MapsDiagnosticLevels)
{
    const struct {
        std::int32_t level;
        WORD type;
    } cases[] = {
        {0, EVENTLOG_ERROR_TYPE}, {1, EVENTLOG_ERROR_TYPE}, {2, EVENTLOG_WARNING_TYPE},
        {3, EVENTLOG_INFORMATION_TYPE}, {4, EVENTLOG_INFORMATION_TYPE}, {-1, EVENTLOG_INFORMATION_TYPE},
        {17, EVENTLOG_INFORMATION_TYPE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.type, ToEventLogType(c.level)) << c.level;
    }
}

}  // namespace
