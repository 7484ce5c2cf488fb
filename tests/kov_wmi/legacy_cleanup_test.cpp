// Removal of the older router and agent counter providers from a machine
// with and without their traces. Nothing but what belongs to them may go.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "file_contents.h"
#include "kov_wmi/legacy_cleanup.h"
#include "kov_wmi/log_context.h"
#include "log_recorder.h"
#include "machine_keys.h"
#include "mof_compiler_stand_in/mof_compiler_stand_in.h"
#include "scoped_temp_folder.h"

namespace {

const std::string kUserData = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData";
const std::string kOldRouterClass = "Software\\Classes\\CLSID\\{9A2BBBF9-A024-4699-A0C4-940D165EDB3A}";
const std::string kOldAgentClass = "Software\\Classes\\CLSID\\{C6DD8E94-1D5B-4952-A8B2-0E6641562D80}";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::vector<std::string> PerformanceKeys(const std::string& service)
{
    return {"SYSTEM\\ControlSet001\\Services\\" + service + "\\Performance",
            "SYSTEM\\ControlSet002\\Services\\" + service + "\\Performance",
            "SYSTEM\\CurrentControlSet\\Services\\" + service + "\\Performance"};
}

void WriteFile(const std::wstring& path)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    ::CloseHandle(file);
}

class LegacyCleanupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(MachineKeys::Exists(kUserData)) << "the test prefix has installer data of its own";
        ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
    void TearDown() override { ::CoUninitialize(); }

    // The messages of one operation, in order, as "severity|text".
    static std::vector<std::string> Reports(const char* function)
    {
        std::vector<std::string> reports;
        for (const RecordedMessage& m : LogRecorder::Messages()) {
            if (m.function == function) {
                EXPECT_EQ(&kov_wmi::g_logContext, m.context);
                reports.push_back(std::to_string(m.level) + "|" + Narrow(m.message));
            }
        }
        return reports;
    }

    MachineKeys machine_;
    LogRecorder recorder_;
    ScopedTempFolder files_;
};

TEST_F(LegacyCleanupTest, RouterCleanUpOnAMachineWithoutTraces)
{
    EXPECT_TRUE(kov_wmi::RemoveOldRouterCounters(LogRecorder::Callback()));
    const auto reports = Reports("kov_wmi::RemoveOldRouterCounters");
    ASSERT_EQ(5u, reports.size());
    const auto keys = PerformanceKeys("Marrowfell Router");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ("4|" + keys[i] + "\n", reports[i]);
    }
    EXPECT_EQ("4|Removed COM registration of MarrowfellRouterPerf.dll", reports[3]);
    EXPECT_EQ(0u, reports[4].find("4|Cannot delete: C:\\Program Files\\Tollandine\\Marrowfell Enterprise "
                                  "Server\\Router\\MarrowfellRouterPerf.dll, 3: "))
        << reports[4];
    EXPECT_EQ(LogRecorder::Messages().size(), reports.size()) << "no other operation reported";
}

TEST_F(LegacyCleanupTest, RouterCleanUpRemovesTheOldProviderAndNothingElse)
{
    const std::wstring dll = files_ / L"MarrowfellRouterPerf.dll";
    const std::wstring neighbour = files_ / L"Other.dll";
    WriteFile(dll);
    WriteFile(neighbour);
    const std::string first = kUserData + "\\S-1-5-18\\Components";
    machine_.SetString(first + "\\0A", "01", "C:\\Somewhere\\Else.dll");
    machine_.SetString(first + "\\0B", "01", Narrow(dll));
    machine_.SetString(first + "\\0C", "01", Narrow(dll));
    machine_.SetString(first + "\\0D", "01", "C:\\x\\marrowfellrouterperf.dll");  // another case: no match
    machine_.SetString(kUserData + "\\S-1-5-21-7\\Components\\0A", "01", Narrow(dll));
    for (const std::string& key : PerformanceKeys("Marrowfell Router")) {
        machine_.SetDword(key, "First Counter", 1000);
    }
    machine_.SetString("SYSTEM\\CurrentControlSet\\Services\\Marrowfell Router\\Parameters", "Keep", "yes");
    machine_.SetString(kOldRouterClass + "\\InprocServer32", "", Narrow(dll));

    EXPECT_TRUE(kov_wmi::RemoveOldRouterCounters(LogRecorder::Callback()));

    const auto reports = Reports("kov_wmi::RemoveOldRouterCounters");
    ASSERT_EQ(5u, reports.size());
    EXPECT_EQ("4|Delete MarrowfellRouterPerf.dll from [" + first + "\\0B]", reports[0]);
    EXPECT_EQ("4|Removed COM registration of MarrowfellRouterPerf.dll", reports[4]);

    EXPECT_TRUE(MachineKeys::Exists(first + "\\0A"));
    EXPECT_FALSE(MachineKeys::Exists(first + "\\0B"));
    EXPECT_TRUE(MachineKeys::Exists(first + "\\0C")) << "only the first match goes";
    EXPECT_TRUE(MachineKeys::Exists(first + "\\0D"));
    EXPECT_TRUE(MachineKeys::Exists(kUserData + "\\S-1-5-21-7\\Components\\0A")) << "only the first user is read";
    for (const std::string& key : PerformanceKeys("Marrowfell Router")) {
        EXPECT_FALSE(MachineKeys::Exists(key)) << key;
    }
    EXPECT_TRUE(MachineKeys::HasValue("SYSTEM\\CurrentControlSet\\Services\\Marrowfell Router\\Parameters", "Keep"));
    EXPECT_FALSE(MachineKeys::Exists(kOldRouterClass));
    EXPECT_TRUE(MachineKeys::Exists("Software\\Classes\\CLSID"));
    EXPECT_FALSE(FileExists(dll));
    EXPECT_TRUE(FileExists(neighbour));
}

TEST_F(LegacyCleanupTest, AgentCleanUpOnAMachineWithoutTraces)
{
    EXPECT_TRUE(kov_wmi::RemoveOldAgentCounters(LogRecorder::Callback()));
    const auto reports = Reports("kov_wmi::RemoveOldAgentCounters");
    ASSERT_EQ(6u, reports.size());
    const auto keys = PerformanceKeys("Marrowfell Server");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ("4|" + keys[i] + "\n", reports[i]);
    }
    EXPECT_EQ("4|Removed COM registration of ZANPerfInfo.dll", reports[3]);
    char expanded[MAX_PATH] = {};
    ::ExpandEnvironmentStringsA("%windir%\\system32\\ZANPerfInfo.dll", expanded, MAX_PATH);
    EXPECT_EQ("4|Cannot delete: " + std::string(expanded), reports[4]);
    EXPECT_EQ(0u, reports[5].find("4|Cannot delete: C:\\Windows\\system32\\ZANPerfInfo.dll, 2: ")) << reports[5];

    // Both old classes are taken to the MOF compiler even so; neither is in
    // the provider table.
    const auto classReports = Reports("RemoveClassFromRegistry");
    EXPECT_EQ((std::vector<std::string>{
                  "2|Unknown class name: [Win32_PerfFormattedData_MarrowfellServer_WMIObjects]",
                  "2|Unknown class name: [Win32_PerfRawData_MarrowfellServer_WMIObjects]"}),
              classReports);
    EXPECT_EQ(2u, Reports("kov_wmi::RemoveClassFromWBEM").size()) << "no MOF compiler is registered here";
}

TEST_F(LegacyCleanupTest, AgentCleanUpRemovesOnlyItsOwnSharedDllEntry)
{
    MofCompilerStandIn compiler;
    const std::wstring dll = files_ / L"ZANPerfInfo.dll";
    WriteFile(dll);
    machine_.SetString(kUserData + "\\S-1-5-18\\Components\\0A", "01", Narrow(dll));
    const std::string shared = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
    const std::string upperDll = [&] {
        std::string text = Narrow(dll);
        for (char& c : text) {
            c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
        }
        return text;
    }();
    const DWORD one = 1;
    const std::string count(reinterpret_cast<const char*>(&one), sizeof one);
    machine_.SetForeignValue(shared, upperDll.c_str(), REG_DWORD, count);
    machine_.SetForeignValue(shared, "C:\\Other\\Shared.dll", REG_DWORD, count);

    EXPECT_TRUE(kov_wmi::RemoveOldAgentCounters(LogRecorder::Callback()));
    EXPECT_FALSE(MachineKeys::HasValue(shared, upperDll.c_str())) << "its entry, compared ignoring case";
    EXPECT_TRUE(MachineKeys::HasValue(shared, "C:\\Other\\Shared.dll"));
    EXPECT_FALSE(FileExists(dll));
    const auto reports = Reports("kov_wmi::RemoveOldAgentCounters");
    ASSERT_GE(reports.size(), 5u);
    EXPECT_EQ("4|" + shared + "\n", reports[4]);

    // Both old classes are deleted through the MOF compiler, in this order.
    const auto calls = compiler.Calls();
    ASSERT_EQ(2u, calls.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const std::string text(reinterpret_cast<const char*>(calls[i].buffer.data()));
        const char* name = i == 0 ? "Win32_PerfFormattedData_MarrowfellServer_WMIObjects"
                                  : "Win32_PerfRawData_MarrowfellServer_WMIObjects";
        EXPECT_NE(std::string::npos, text.find(std::string("#pragma deleteclass(\"") + name + "\",FAIL)")) << text;
    }
}

}  // namespace
