// Self-registration as the platform's own tools see it: regsvr32 calls the
// exports, reg shows the keys, COM activates the registered server.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <set>
#include <sstream>
#include <string>

#include "child_process.h"
#include "common/util/unique_resource.h"
#include "registry_tree.h"
#include "tools/host/provider_module.h"

namespace {

const std::wstring kClassKey = L"Software\\Classes\\CLSID\\{72390812-EE29-4309-9B19-ACF198DDB069}";

long Regsvr32(const std::wstring& options)
{
    std::string output;
    return RunToEnd(SystemProgram(L"regsvr32.exe"),
                    options + L" \"" + FileBesideProgram(L"RouterPerfClient.dll") + L"\"", output);
}

// "key|value|type|data" for every value reg.exe lists, and "key" for every key.
std::set<std::string> RegQuery(const std::wstring& key)
{
    std::string output;
    EXPECT_EQ(0, RunToEnd(SystemProgram(L"reg.exe"), L"query \"HKLM\\" + key + L"\" /s", output)) << output;
    std::set<std::string> entries;
    std::string current;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("HKEY_LOCAL_MACHINE\\", 0) == 0) {
            current = line.substr(std::string("HKEY_LOCAL_MACHINE\\").size());
            entries.insert(current);
        } else if (line.rfind("    ", 0) == 0) {
            std::string rest = line.substr(4);
            std::string fields[3];
            for (int i = 0; i < 2; ++i) {
                const std::size_t gap = rest.find("    ");
                fields[i] = rest.substr(0, gap);
                rest = gap == std::string::npos ? "" : rest.substr(gap + 4);
            }
            fields[2] = rest;
            entries.insert(current + "|" + fields[0] + "|" + fields[1] + "|" + fields[2]);
        }
    }
    return entries;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, Regsvr32(L"/s /u")); }
    void TearDown() override { EXPECT_EQ(0, Regsvr32(L"/s /u")); }
};

TEST_F(RegistrationTest, Regsvr32WritesExactlyTheClassRegistration)
{
    ASSERT_EQ(0, Regsvr32(L"/s"));
    const std::string k = "Software\\Classes\\CLSID\\{72390812-EE29-4309-9B19-ACF198DDB069}";
    const std::string dll = Narrow(FileBesideProgram(L"RouterPerfClient.dll"));
    const std::set<std::string> expected = {
        k,
        k + "|(Default)|REG_SZ|Marrowfell Router Client",
        k + "\\InprocServer32",
        k + "\\InprocServer32|(Default)|REG_SZ|" + dll,
        k + "\\InprocServer32|ThreadingModel|REG_SZ|Both",
        k + "\\NotInsertable",
        k + "\\ProgID",
        k + "\\ProgID|(Default)|REG_SZ|Marrowfell.Router.Client.1",
        k + "\\VersionIndependentProgID",
        k + "\\VersionIndependentProgID|(Default)|REG_SZ|Marrowfell.Router.Client",
    };
    std::set<std::string> listed;
    for (const std::string& entry : RegQuery(kClassKey)) {
        // reg prints the key path with the case it was created with.
        std::string folded = entry;
        const std::size_t at = folded.find("CLSID\\");
        if (at != std::string::npos) {
            folded.replace(0, at, "Software\\Classes\\");
        }
        listed.insert(folded);
    }
    EXPECT_EQ(expected, listed);

    const RegistryTree first = ReadRegistryTree(HKEY_LOCAL_MACHINE, kClassKey);
    ASSERT_EQ(0, Regsvr32(L"/s")) << "a second registration succeeds";
    EXPECT_EQ(first, ReadRegistryTree(HKEY_LOCAL_MACHINE, kClassKey)) << "and changes nothing";

    ASSERT_EQ(0, Regsvr32(L"/s /u"));
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, kClassKey));
}

TEST_F(RegistrationTest, ComActivatesTheRegisteredProvider)
{
    ASSERT_EQ(0, Regsvr32(L"/s"));
    ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    {
        com_ptr<IWbemProviderInit> init;
        ASSERT_EQ(S_OK, ::CoCreateInstance(kRouterPerfClientClsid, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IWbemProviderInit, reinterpret_cast<void**>(init.put())));
        EXPECT_TRUE(com_query<IWbemHiPerfProvider>(init.get()));
        EXPECT_NE(nullptr, ::GetModuleHandleW(L"RouterPerfClient.dll")) << "loaded in process";
    }
    ::CoUninitialize();

    ASSERT_EQ(0, Regsvr32(L"/s /u"));
    ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    IUnknown* none = nullptr;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, ::CoCreateInstance(kRouterPerfClientClsid, nullptr, CLSCTX_INPROC_SERVER,
                                                      IID_IUnknown, reinterpret_cast<void**>(&none)));
    ::CoUninitialize();
}

}  // namespace
