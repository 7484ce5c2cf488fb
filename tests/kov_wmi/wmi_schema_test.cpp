// MOF compilation and class removal through the platform's COM activation
// of a MOF-compiler stand-in, and the autorecover list.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <wbemcli.h>

#include <string>
#include <vector>

#include "file_contents.h"
#include "kov_wmi/log_context.h"
#include "kov_wmi/wmi_schema.h"
#include "log_recorder.h"
#include "machine_keys.h"
#include "mof_compiler_stand_in/mof_compiler_stand_in.h"
#include "scoped_temp_folder.h"

namespace {

const std::string kCimom = "SOFTWARE\\Microsoft\\WBEM\\CIMOM";
constexpr HRESULT kNotRegistered = REGDB_E_CLASSNOTREG;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class WmiSchemaTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        mof_ = files_ / L"Test.mof";
        HANDLE file = ::CreateFileW(mof_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        ::CloseHandle(file);
    }
    void TearDown() override { ::CoUninitialize(); }

    static std::vector<std::string> Reports()
    {
        std::vector<std::string> reports;
        for (const RecordedMessage& m : LogRecorder::Messages()) {
            EXPECT_EQ(&kov_wmi::g_logContext, m.context);
            reports.push_back(std::to_string(m.level) + "|" + m.function + "|" + Narrow(m.message));
        }
        return reports;
    }

    ScopedTempFolder files_;
    std::wstring mof_;
    LogRecorder recorder_;
};

TEST_F(WmiSchemaTest, CompileMOFileAnswersFromTheCompilersStatus)
{
    MofCompilerStandIn compiler;
    const std::string path = Narrow(mof_);
    const struct {
        HRESULT result;
        LONG phase;
        HRESULT hRes;
        LONG object;
        bool compiled;
        std::string report;
    } cases[] = {
        {S_OK, 0, 0, 0, true, ""},
        {static_cast<HRESULT>(WBEM_S_ALREADY_EXISTS), 0, 0, 0, true, ""},
        {static_cast<HRESULT>(WBEM_S_FALSE), 0, 0, 0, false,
         "Error [1] MOF [" + path + "] compilation failed with error : no error, error code : 0, object number : 0"},
        {static_cast<HRESULT>(WBEM_S_FALSE), 2, static_cast<HRESULT>(0x80044014), 3, false,
         "Error [1] MOF [" + path + "] compilation failed with error : parsing, error code : -2147205100, object number : 3"},
        {S_OK, 3, 5, 1, false,
         "Error [0] MOF [" + path + "] compilation failed with error : errors occurred while storing the data, "
         "error code : 5, object number : 1"},
        {S_OK, 9, 0, 0, false,
         "Error [0] MOF [" + path + "] compilation failed with error : unknown phase, error code : 0, object number : 0"},
    };
    for (const auto& c : cases) {
        compiler.Script(c.result, c.phase, c.hRes, c.object);
    }
    for (const auto& c : cases) {
        LogRecorder::Clear();
        EXPECT_EQ(c.compiled, kov_wmi::CompileMOFile(mof_.c_str(), LogRecorder::Callback())) << c.report;
        const std::vector<std::string> expected =
            c.report.empty() ? std::vector<std::string>{} : std::vector<std::string>{"1|kov_wmi::CompileMOFile|" + c.report};
        EXPECT_EQ(expected, Reports());
    }
    const auto calls = compiler.Calls();
    ASSERT_EQ(std::size(cases), calls.size());
    EXPECT_EQ(MofCall::File, calls[0].kind);
    EXPECT_EQ(mof_, calls[0].path.value_or(L""));
    EXPECT_EQ(0x108, calls[0].optionFlags);
    EXPECT_EQ(0, calls[0].classFlags);
    EXPECT_EQ(0, calls[0].instanceFlags);
    EXPECT_FALSE(calls[0].serverAndNamespace || calls[0].user || calls[0].authority || calls[0].password);
}

TEST_F(WmiSchemaTest, CompileMOFileRefusesWhatItCannotCompile)
{
    ASSERT_TRUE(MofCompilerStandIn::Unregister());
    const std::wstring missing = files_ / L"Missing.mof";
    const struct {
        const wchar_t* path;
        std::string report;
    } cases[] = {
        {nullptr, "MOF file is empty"},
        {L"", "MOF file is empty"},
        {missing.c_str(), "Cannot find MOF file : " + Narrow(missing)},
        {files_.Path().c_str(), "Cannot find MOF file : " + Narrow(files_.Path())},
    };
    for (const auto& c : cases) {
        LogRecorder::Clear();
        EXPECT_FALSE(kov_wmi::CompileMOFile(c.path, LogRecorder::Callback()));
        EXPECT_EQ(std::vector<std::string>{"1|kov_wmi::CompileMOFile|" + c.report}, Reports());
    }
    LogRecorder::Clear();
    EXPECT_FALSE(kov_wmi::CompileMOFile(mof_.c_str(), LogRecorder::Callback()));
    const auto reports = Reports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(0u, reports[0].find("1|kov_wmi::CompileMOFile|Cannot initialize MOF Compiler COM interface for " +
                                  Narrow(mof_) + ", result: [" + std::to_string(kNotRegistered) + "] Error "))
        << reports[0];
}

TEST_F(WmiSchemaTest, RemoveClassFromWBEMCompilesTheTwoLineDeleteClassText)
{
    MofCompilerStandIn compiler;
    compiler.Script(S_OK);
    compiler.Script(static_cast<HRESULT>(WBEM_S_FALSE), 3, static_cast<HRESULT>(WBEM_E_NOT_FOUND), 1);
    EXPECT_TRUE(kov_wmi::RemoveClassFromWBEM(L"Some_Class", LogRecorder::Callback()));
    EXPECT_FALSE(kov_wmi::RemoveClassFromWBEM(L"Some_Class", LogRecorder::Callback()));

    const auto calls = compiler.Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(MofCall::Buffer, calls[0].kind);
    EXPECT_EQ(1024, calls[0].bufferSize);
    std::vector<unsigned char> expected(1024, 0);
    const std::string text = "#pragma namespace(\"\\\\\\\\.\\\\Root\\\\CimV2\")\n#pragma deleteclass(\"Some_Class\",FAIL)";
    std::copy(text.begin(), text.end(), expected.begin());
    EXPECT_EQ(expected, calls[0].buffer);
    EXPECT_EQ(0x108, calls[0].optionFlags);

    // The class is not one of the maker's: the registry step says so each time.
    EXPECT_EQ((std::vector<std::string>{
                  "2|RemoveClassFromRegistry|Unknown class name: [Some_Class]",
                  "1|kov_wmi::RemoveClassFromWBEM|Error [1] MOF compilation failed with error : errors occurred "
                  "while storing the data, error code : -2147217406, object number : 1",
                  "2|RemoveClassFromRegistry|Unknown class name: [Some_Class]"}),
              Reports());

    LogRecorder::Clear();
    EXPECT_FALSE(kov_wmi::RemoveClassFromWBEM(L"", LogRecorder::Callback()));
    EXPECT_EQ(std::vector<std::string>{"1|kov_wmi::RemoveClassFromWBEM|Class name is empty"}, Reports());
}

TEST_F(WmiSchemaTest, RemoveClassFromWBEMWithoutACompilerStillCleansTheList)
{
    ASSERT_TRUE(MofCompilerStandIn::Unregister());
    MachineKeys machine;
    machine.SetForeignValue(kCimom, "Autorecover MOFs", REG_MULTI_SZ,
                            MultiString({L"C:\\WINDOWS\\system32\\wbem\\RCRouterClientPerf.mof", L"C:\\keep.mof"}));
    EXPECT_FALSE(kov_wmi::RemoveClassFromWBEM(L"Win32_PerfRawData_Marrowfell_Router_Client", LogRecorder::Callback()));
    const auto reports = Reports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(0u, reports[0].find("1|kov_wmi::RemoveClassFromWBEM|Cannot initialize MOF Compiler COM interface: " +
                                  std::to_string(kNotRegistered) + ", Error "));
    std::vector<std::wstring> left;
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCimom.c_str(), 0, KEY_READ, &key));
    wchar_t data[1024] = {};
    DWORD size = sizeof data;
    ASSERT_EQ(ERROR_SUCCESS, ::RegQueryValueExW(key, L"Autorecover MOFs", nullptr, nullptr,
                                                reinterpret_cast<BYTE*>(data), &size));
    ::RegCloseKey(key);
    EXPECT_EQ(MultiString({L"C:\\keep.mof"}), std::string(reinterpret_cast<const char*>(data), size));
}

class AutorecoverListTest : public ::testing::Test {
protected:
    std::string Stored() const
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCimom.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return "<no key>";
        }
        char data[4096] = {};
        DWORD size = sizeof data;
        const LONG status = ::RegQueryValueExW(key, L"Autorecover MOFs", nullptr, nullptr,
                                               reinterpret_cast<BYTE*>(data), &size);
        ::RegCloseKey(key);
        return status == ERROR_SUCCESS ? std::string(data, size) : "<no value>";
    }

    MachineKeys machine_;
    LogRecorder recorder_;
};

TEST_F(AutorecoverListTest, RemovesTheProvidersEntriesIgnoringCase)
{
    const struct {
        const char* className;
        std::vector<std::wstring> before;
        std::vector<std::wstring> after;
    } cases[] = {
        {"win32_perfrawdata_marrowfell_router_client",
         {L"C:\\Windows\\system32\\wbem\\RCRouterClientPerf.mof", L"C:\\other\\Session.mof"},
         {L"C:\\other\\Session.mof"}},
        {"Win32_PerfRawData_Marrowfell_Agent",
         {L"c:\\x\\agentwmiperf.MOF", L"C:\\y\\AgentWMIPerf.mof.bak", L"C:\\z\\Keep.mof"},
         {L"C:\\z\\Keep.mof"}},
        {"Win32_Marrowfell_counter", {L"C:\\a.mof", L"C:\\b.mof"}, {L"C:\\a.mof", L"C:\\b.mof"}},
    };
    for (const auto& c : cases) {
        machine_.SetForeignValue(kCimom, "Autorecover MOFs", REG_MULTI_SZ, MultiString(c.before));
        EXPECT_TRUE(RemoveClassFromRegistry(c.className, LogRecorder::Callback())) << c.className;
        EXPECT_EQ(MultiString(c.after), Stored()) << c.className;
    }
    EXPECT_TRUE(LogRecorder::Messages().empty());
}

TEST_F(AutorecoverListTest, RefusesUnknownClassesAndToleratesAMissingList)
{
    machine_.SetForeignValue(kCimom, "Autorecover MOFs", REG_MULTI_SZ, MultiString({L"C:\\RouterClientPerf.mof"}));
    const std::string before = Stored();
    EXPECT_FALSE(RemoveClassFromRegistry("Win32_Unknown", LogRecorder::Callback()));
    EXPECT_FALSE(RemoveClassFromRegistry("", LogRecorder::Callback()));
    EXPECT_EQ(before, Stored()) << "nothing touched";
    ASSERT_EQ(2u, LogRecorder::Messages().size());
    EXPECT_EQ(2, LogRecorder::Messages()[0].level);
    EXPECT_EQ(L"Unknown class name: [Win32_Unknown]", LogRecorder::Messages()[0].message);
    EXPECT_EQ(1, LogRecorder::Messages()[1].level);
    EXPECT_EQ(L"Class name is empty", LogRecorder::Messages()[1].message);

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCimom.c_str(), 0, KEY_ALL_ACCESS, &key));
    ::RegDeleteValueW(key, L"Autorecover MOFs");
    ::RegCloseKey(key);
    EXPECT_TRUE(RemoveClassFromRegistry("Win32_PerfRawData_Marrowfell_Router_Client", nullptr)) << "no list";
}

}  // namespace
