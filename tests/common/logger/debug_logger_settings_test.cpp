// Where a logger's settings come from: the defaults, a start from a registry
// key, the reload while running, the settings record and the setters.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logger_test_support.h"
#include "scoped_environment_variable.h"
#include "scoped_registry_key.h"

namespace {

using ::testing::ElementsAre;

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

class DebugLoggerSettingsTest : public ::testing::Test {
protected:
    DebugLoggerSettingsTest() { outputs_ = InstallMemoryOutputs(logger_, journal_); }

    // Starts from the private key under HKCU and stops again: the settings
    // read at start stay in place.
    void StartFromKey()
    {
        ASSERT_TRUE(logger_.StartFromRegistry(Wide(key_.Path()).c_str(), true));
        ASSERT_TRUE(logger_.WaitUntilReady());
        logger_.Stop();
        journal_.ClearEvents();
    }

    ScopedRegistryKey key_{HKEY_CURRENT_USER};
    OutputJournal journal_;
    DebugLogger logger_;
    std::vector<MemoryOutput*> outputs_;
};

TEST_F(DebugLoggerSettingsTest, ANewLoggerHoldsTheDefaults)
{
    const DebugLogConfig& c = logger_.Config();
    EXPECT_EQ(c.defaultDebugLevel, 3);
    EXPECT_EQ(c.debugLogLevel, 3);
    EXPECT_EQ(c.eventLogLevel, 2);
    EXPECT_EQ(c.syslogLevel, 2);
    EXPECT_EQ(c.consoleLogLevel, 3);
    EXPECT_EQ(c.maxLevel, 3);
    EXPECT_TRUE(c.autoReload);
    EXPECT_EQ(c.debugLogSize, 2000000);
    EXPECT_EQ(c.eventLogTimeThreshold, 60);
    EXPECT_TRUE(c.debugLogEnabled && c.syslogEnabled && c.eventLogEnabled);
    EXPECT_FALSE(c.consoleLogEnabled);
    EXPECT_TRUE(c.blockingSyslog && c.addSyslogHeader && c.reportEnvironment);
    EXPECT_EQ(c.encoding, 0);
    EXPECT_EQ(c.instanceNumber, 0);
    EXPECT_STREQ(logger_.Name(), "DebugLogger");
    EXPECT_FALSE(logger_.IsReady());
    EXPECT_TRUE(logger_.HasNoSink());
    EXPECT_GT(c.startTime, 0);
}

TEST_F(DebugLoggerSettingsTest, StartReadsEveryValueOfTheKey)
{
    const struct {
        const char* name;
        DWORD value;
    } dwords[] = {
        {"DebugLogLevel", 7},         {"EventLogLevel", 1},          {"SysLogLevel", 4},
        {"ConsoleLogLevel", 6},       {"SysLogFacility", 16},        {"BlockingSyslog", 0},
        {"AddSyslogHeader", 0},       {"SysLogEnabled", 0},          {"DebugLogSize", 5000},
        {"DebugLogAutoRoll", 1},      {"DebugLogEnabled", 0},        {"DebugLogDailyFile", 1},
        {"DebugLogMaxDailyFileAge", 9}, {"DebugLogMaxEventQueue", 300}, {"DebugLogEncoding", 2},
        {"EventLogEnabled", 0},       {"EventLogTimeThreshold", 15}, {"ConsoleLogEnabled", 0},
    };
    for (const auto& value : dwords) {
        key_.SetDword("", value.name, value.value);
    }
    key_.SetString("", "SysLogHost", "10.0.0.1,10.0.0.2:601");
    ScopedEnvironmentVariable ident(L"LOGGER_TEST_IDENT", L"expanded");
    key_.SetString("", "DebugLogIdent", "id-%LOGGER_TEST_IDENT%", REG_EXPAND_SZ);
    StartFromKey();

    const DebugLogConfig& c = logger_.Config();
    EXPECT_EQ(c.debugLogLevel, 7);
    EXPECT_EQ(c.eventLogLevel, 1);
    EXPECT_EQ(c.syslogLevel, 4);
    EXPECT_EQ(c.consoleLogLevel, 6);
    EXPECT_EQ(c.maxLevel, 7);
    EXPECT_FALSE(c.consoleLogEnabled);  // the level switched it on, the switch off again
    EXPECT_EQ(c.syslogHost, "10.0.0.1,10.0.0.2:601");
    EXPECT_EQ(c.syslogFacility, 16);
    EXPECT_FALSE(c.blockingSyslog);
    EXPECT_FALSE(c.addSyslogHeader);
    EXPECT_FALSE(c.syslogEnabled);
    EXPECT_EQ(c.debugLogSize, 5000);
    EXPECT_TRUE(c.autoRoll);
    EXPECT_FALSE(c.debugLogEnabled);
    EXPECT_TRUE(c.dailyFile);
    EXPECT_EQ(c.maxDailyFileAge, 9);
    EXPECT_EQ(c.maxEventQueue, 300);
    EXPECT_EQ(c.encoding, 2);
    EXPECT_FALSE(c.eventLogEnabled);
    EXPECT_EQ(c.ident, L"id-expanded");
    EXPECT_EQ(c.eventLogTimeThreshold, 15);
    EXPECT_TRUE(c.useCurrentUser);
    EXPECT_EQ(c.configKeyPath, Wide(key_.Path()));

    SYSTEMTIME today = {};
    ::GetLocalTime(&today);
    EXPECT_EQ(c.fileDate.tm_mday, today.wDay);
    EXPECT_EQ(c.fileDate.tm_mon, today.wMonth - 1);
    EXPECT_EQ(c.fileDate.tm_year, today.wYear - 1900);
}

TEST_F(DebugLoggerSettingsTest, AnEmptyKeyFallsBackAndKeeps)
{
    logger_.SetDefaultDebugLevel(1);
    logger_.SetAppName("Router");
    StartFromKey();
    const DebugLogConfig& c = logger_.Config();
    EXPECT_EQ(c.debugLogLevel, 1);     // defaultDebugLevel
    EXPECT_EQ(c.eventLogLevel, 2);     // kept
    EXPECT_FALSE(c.consoleLogEnabled); // kept off
    EXPECT_FALSE(c.syslogEnabled);     // no host
    EXPECT_FALSE(c.debugLogEnabled);   // no file name
    EXPECT_TRUE(c.eventLogEnabled);
    EXPECT_EQ(c.ident, L"Router");
    EXPECT_EQ(c.syslogFacility, 0);
    EXPECT_EQ(c.eventLogTimeThreshold, 60);
}

TEST_F(DebugLoggerSettingsTest, OutOfRangeLevelsAreIgnoredAndAHostAloneSwitchesSyslogOn)
{
    key_.SetDword("", "DebugLogLevel", 16);
    key_.SetDword("", "EventLogLevel", 0xFFFFFFFF);
    key_.SetDword("", "SysLogLevel", 16);
    key_.SetDword("", "ConsoleLogLevel", 4);
    key_.SetString("", "SysLogHost", "loghost");
    key_.SetString("", "DebugLogEncoding", "1");  // wrong type: absent
    StartFromKey();
    const DebugLogConfig& c = logger_.Config();
    EXPECT_EQ(c.debugLogLevel, 3);
    EXPECT_EQ(c.eventLogLevel, 2);
    EXPECT_EQ(c.syslogLevel, 2);
    EXPECT_EQ(c.consoleLogLevel, 4);
    EXPECT_TRUE(c.consoleLogEnabled);
    EXPECT_EQ(c.maxLevel, 4);
    EXPECT_TRUE(c.syslogEnabled);
    EXPECT_EQ(c.encoding, 0);
}

TEST_F(DebugLoggerSettingsTest, WithoutAKeyPathEveryDefaultStays)
{
    ASSERT_TRUE(logger_.StartFromRegistry(nullptr, false));
    ASSERT_TRUE(logger_.WaitUntilReady());
    logger_.Stop();
    const DebugLogConfig& c = logger_.Config();
    EXPECT_TRUE(c.configKeyPath.empty());
    EXPECT_TRUE(c.debugLogEnabled);
    EXPECT_TRUE(c.syslogEnabled);
    EXPECT_TRUE(c.syslogHost.empty());
    EXPECT_EQ(c.debugLogLevel, 3);
}

TEST_F(DebugLoggerSettingsTest, ReloadFallsBackAndSwitchesOutputsOnAndOff)
{
    key_.SetDword("", "ConsoleLogLevel", 4);
    key_.SetDword("", "EventLogLevel", 3);
    key_.SetDword("", "DebugLogEnabled", 1);
    key_.SetDword("", "SysLogEnabled", 0);
    key_.SetDword("", "BlockingSyslog", 0);
    StartFromKey();
    ASSERT_TRUE(logger_.Config().consoleLogEnabled);
    ASSERT_FALSE(logger_.Config().syslogEnabled);

    // Each value gone or out of range; the switches turned over.
    ::RegDeleteValueA(key_.Key(), "ConsoleLogLevel");
    ::RegDeleteValueA(key_.Key(), "EventLogLevel");
    ::RegDeleteValueA(key_.Key(), "BlockingSyslog");
    key_.SetDword("", "DebugLogLevel", 16);
    key_.SetDword("", "DebugLogEnabled", 0);
    key_.SetDword("", "SysLogEnabled", 1);
    key_.SetDword("", "EventLogEnabled", 0);
    key_.SetDword("", "EventLogTimeThreshold", 5);
    logger_.ReloadSettings();

    const DebugLogConfig& c = logger_.Config();
    EXPECT_EQ(c.consoleLogLevel, 3);
    EXPECT_FALSE(c.consoleLogEnabled);
    EXPECT_EQ(c.eventLogLevel, 2);
    EXPECT_EQ(c.debugLogLevel, 3);
    EXPECT_EQ(c.maxLevel, 3);
    EXPECT_TRUE(c.blockingSyslog);
    EXPECT_TRUE(c.syslogEnabled);
    EXPECT_FALSE(c.debugLogEnabled);
    EXPECT_FALSE(c.eventLogEnabled);
    EXPECT_EQ(c.eventLogTimeThreshold, 5);
    EXPECT_THAT(journal_.Events(), ElementsAre("open syslog", "close file", "close eventlog"));

    // Nothing changed: nothing switches; a level of 4 switches the console on again.
    journal_.ClearEvents();
    key_.SetDword("", "ConsoleLogLevel", 4);
    logger_.ReloadSettings();
    EXPECT_TRUE(journal_.Events().empty());
    EXPECT_TRUE(c.consoleLogEnabled);
    EXPECT_EQ(c.maxLevel, 4);

    // Absent switches fall back: syslog follows its (empty) host, the file
    // its (empty) name, the event log comes back.
    ::RegDeleteValueA(key_.Key(), "SysLogEnabled");
    ::RegDeleteValueA(key_.Key(), "EventLogEnabled");
    logger_.ReloadSettings();
    EXPECT_THAT(journal_.Events(), ElementsAre("close syslog", "open eventlog"));
}

TEST_F(DebugLoggerSettingsTest, TheSettingsRecordStartsWithoutTheRegistry)
{
    DebugLogSettings settings;
    EXPECT_EQ(settings.encoding, 1);
    EXPECT_TRUE(settings.blockingSyslog && settings.addSyslogHeader);
    EXPECT_EQ(settings.moduleName[DebugLogSettings::kModuleNameSize - 1], '\0');
    EXPECT_EQ(settings.syslogHost[0], '\0');
    EXPECT_GT(settings.created, 0);

    strcpy(settings.moduleName.get(), "RouterSvc");
    strcpy(settings.logFile.get(), "C:\\logs\\router.txt");
    strcpy(settings.syslogHost.get(), "loghost");
    settings.debugLogLevel = 6;
    settings.eventLogLevel = 1;
    settings.syslogLevel = 2;
    settings.consoleLogLevel = 0;
    settings.syslogFacility = 3;
    settings.debugLogSize = 100;
    settings.dailyFile = true;
    settings.maxEventQueue = 50;
    settings.maxDailyFileAge = 4;
    settings.autoRoll = true;
    settings.encoding = 2;
    ASSERT_TRUE(logger_.StartWithSettings(settings));
    ASSERT_TRUE(logger_.WaitUntilReady());
    EXPECT_EQ(logger_.Config().eventSourceName, L"RouterSvc");
    logger_.Stop();

    const DebugLogConfig& c = logger_.Config();
    EXPECT_EQ(c.moduleName, L"RouterSvc");
    EXPECT_EQ(c.logFile, L"C:\\logs\\router.txt");
    EXPECT_EQ(c.syslogHost, "loghost");
    EXPECT_EQ(c.debugLogLevel, 6);
    EXPECT_EQ(c.eventLogLevel, 1);
    EXPECT_EQ(c.syslogLevel, 2);
    EXPECT_EQ(c.consoleLogLevel, 0);
    EXPECT_TRUE(c.consoleLogEnabled);
    EXPECT_EQ(c.maxLevel, 6);
    EXPECT_EQ(c.syslogFacility, 3);
    EXPECT_EQ(c.debugLogSize, 100);
    EXPECT_TRUE(c.dailyFile);
    EXPECT_EQ(c.maxEventQueue, 50);
    EXPECT_EQ(c.maxDailyFileAge, 4);
    EXPECT_TRUE(c.autoRoll);
    EXPECT_EQ(c.encoding, 2);
    EXPECT_FALSE(c.autoReload);
}

TEST_F(DebugLoggerSettingsTest, StartWithFileTakesTheNameFromTheKey)
{
    ScopedEnvironmentVariable folder(L"LOGGER_TEST_FOLDER", L"C:\\logs");
    key_.SetString("", "DebugLogFile", "%LOGGER_TEST_FOLDER%\\router.txt", REG_EXPAND_SZ);
    ASSERT_TRUE(logger_.StartWithFile("RouterSvc", key_.Path().c_str(), true, "C:\\other.txt", nullptr));
    ASSERT_TRUE(logger_.WaitUntilReady());
    logger_.Stop();
    EXPECT_EQ(logger_.Config().logFile, L"C:\\logs\\router.txt");
    EXPECT_EQ(logger_.Config().moduleName, L"RouterSvc");
    EXPECT_TRUE(logger_.Config().debugLogEnabled);

    // Without the value the name is empty, and file logging off by default.
    DebugLogger second;
    InstallMemoryOutputs(second, journal_);
    ::RegDeleteValueA(key_.Key(), "DebugLogFile");
    ASSERT_TRUE(second.StartWithFile(L"RouterSvc", Wide(key_.Path()).c_str(), true,
                                     L"C:\\other.txt", nullptr));
    ASSERT_TRUE(second.WaitUntilReady());
    second.Stop();
    EXPECT_TRUE(second.Config().logFile.empty());
    EXPECT_FALSE(second.Config().debugLogEnabled);
}

TEST_F(DebugLoggerSettingsTest, StartWithLogRootBuildsTheFolderFromTheParentKey)
{
    key_.CreateSubKey("Logger");
    key_.SetString("", "LogRoot", "D:\\logs\\\\/");
    key_.SetString("", "LogFilePrefix", "pre");
    ASSERT_TRUE(logger_.StartWithLogRoot("App", "Mod", (key_ / "Logger").c_str(), true, "", nullptr));
    ASSERT_TRUE(logger_.WaitUntilReady());
    logger_.Stop();
    const DebugLogConfig& c = logger_.Config();
    EXPECT_TRUE(c.structuredNaming);
    EXPECT_EQ(c.instanceNumber, 1);
    EXPECT_EQ(c.logFolder, L"D:\\logs");
    EXPECT_EQ(c.logFile, L"D:\\logs\\_App_Mod.txt");
    EXPECT_TRUE(c.dailyFolder);
    EXPECT_EQ(c.logFilePrefix, L"pre");
    EXPECT_EQ(c.ident, L"App");

    // No root anywhere above: the folder of the key's own DebugLogFile.
    DebugLogger second;
    InstallMemoryOutputs(second, journal_);
    ::RegDeleteValueA(key_.Key(), "LogRoot");
    key_.SetDword("", "DailyLogFileFolder", 0);
    key_.SetString("Logger", "DebugLogFile", "E:\\svc\\old.txt");
    ASSERT_TRUE(second.StartWithLogRoot(L"App", L"Mod", Wide(key_ / "Logger").c_str(), true,
                                        nullptr, nullptr));
    ASSERT_TRUE(second.WaitUntilReady());
    second.Stop();
    EXPECT_EQ(second.Config().logFolder, L"E:\\svc");
    EXPECT_EQ(second.Config().logFile, L"E:\\svc\\_App_Mod.txt");
    EXPECT_FALSE(second.Config().dailyFolder);
}

TEST_F(DebugLoggerSettingsTest, SettersCheckTheirRanges)
{
    logger_.SetInstanceNumber(999);
    EXPECT_EQ(logger_.Config().instanceNumber, 0);
    logger_.SetInstanceNumber(1);
    EXPECT_EQ(logger_.Config().instanceNumber, 1);
    logger_.SetInstanceNumber(0);
    EXPECT_EQ(logger_.Config().instanceNumber, 1);

    logger_.SetEncoding(3);
    EXPECT_EQ(logger_.Config().encoding, 0);
    logger_.SetEncoding(2);
    EXPECT_EQ(logger_.Config().encoding, 2);

    logger_.SetDefaultDebugLevel(16);
    EXPECT_EQ(logger_.Config().defaultDebugLevel, 3);
    EXPECT_FALSE(logger_.SetSplitLines(true));
    EXPECT_TRUE(logger_.SetSplitLines(false));

    // No key: the level changes all the same.
    EXPECT_FALSE(logger_.SetDebugLogLevel(16));
    EXPECT_TRUE(logger_.SetDebugLogLevel(9));
    EXPECT_EQ(logger_.GetDebugLogLevel(), 9);
    EXPECT_EQ(logger_.Config().maxLevel, 9);
}

TEST_F(DebugLoggerSettingsTest, SetDebugLogLevelWritesUnderLocalMachine)
{
    // The same path under both hives; the settings come from HKCU.
    unique_hkey machine;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_.Path().c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, machine.put(), nullptr),
              ERROR_SUCCESS);
    struct RemoveMachineKey {
        std::string path;
        ~RemoveMachineKey() { ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str()); ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str()); }
    } cleanup{key_.Path()};
    key_.SetDword("", "DebugLogLevel", 2);
    StartFromKey();

    EXPECT_TRUE(logger_.SetDebugLogLevel(6));
    DWORD stored = 0;
    DWORD size = sizeof(stored);
    ASSERT_EQ(::RegGetValueA(machine.get(), nullptr, "DebugLogLevel", RRF_RT_REG_DWORD, nullptr,
                             &stored, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(stored, 6u);
    EXPECT_EQ(key_.Value("", "DebugLogLevel")->bytes, std::string("\x02\0\0\0", 4));
    logger_.SetEncoding(1);
    ASSERT_EQ(::RegGetValueA(machine.get(), nullptr, "DebugLogEncoding", RRF_RT_REG_DWORD,
                             nullptr, &stored, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(stored, 1u);
}

}  // namespace
