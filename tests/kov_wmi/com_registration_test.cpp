// COM class registration and removal, against the real registry, for class
// identifiers made up per test.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <string>

#include "kov_wmi/com_registration.h"
#include "kov_wmi/log_context.h"
#include "log_recorder.h"
#include "registry_tree.h"
#include "scoped_temp_folder.h"

namespace {

class ComRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, ::CoCreateGuid(&clsid_));
        wchar_t text[64] = {};
        ASSERT_GT(::StringFromGUID2(clsid_, text, 64), 0);
        clsidText_ = text;
        classKey_ = L"Software\\Classes\\CLSID\\" + clsidText_;
        wchar_t path[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        modulePath_ = path;
    }
    void TearDown() override { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, classKey_.c_str()); }

    RegistryTree Tree() const { return ReadRegistryTree(HKEY_LOCAL_MACHINE, classKey_); }

    GUID clsid_ = {};
    std::wstring clsidText_;
    std::wstring classKey_;
    std::wstring modulePath_;
    LogRecorder recorder_;
};

TEST_F(ComRegistrationTest, WritesExactlyTheClassKeyAndItsFourSubKeys)
{
    ASSERT_TRUE(kov_wmi::RegisterCOM(clsid_, modulePath_.c_str(), L"Test Class", L"Test.Class.1", L"Test.Class",
                                     LogRecorder::Callback()));
    const RegistryTree expected = {
        {L"", {{L"", L"REG_SZ:Test Class"}}},
        {L"InprocServer32", {{L"", L"REG_SZ:" + modulePath_}, {L"ThreadingModel", L"REG_SZ:Both"}}},
        {L"NotInsertable", {}},
        {L"ProgID", {{L"", L"REG_SZ:Test.Class.1"}}},
        {L"VersionIndependentProgID", {{L"", L"REG_SZ:Test.Class"}}},
    };
    EXPECT_EQ(expected, Tree());
    EXPECT_TRUE(LogRecorder::Messages().empty());
    // Nothing is written outside the class key.
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\Test.Class.1"));
    EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, L"Software\\Classes\\CLSID\\" + clsidText_));

    // The module-handle form names the module's own file.
    ASSERT_TRUE(kov_wmi::UnregisterCOM(clsid_, nullptr));
    ASSERT_TRUE(kov_wmi::RegisterCOM(clsid_, ::GetModuleHandleW(nullptr), L"Test Class", L"Test.Class.1",
                                     L"", nullptr));
    const RegistryTree viaHandle = Tree();
    EXPECT_EQ(L"REG_SZ:" + modulePath_, viaHandle.at(L"InprocServer32").at(L""));
    EXPECT_EQ(0u, viaHandle.count(L"VersionIndependentProgID")) << "skipped for an empty one";
}

TEST_F(ComRegistrationTest, AnExistingClassKeyIsLeftUntouched)
{
    HKEY stale = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (classKey_ + L"\\Stale").c_str(), 0, nullptr,
                                               0, KEY_ALL_ACCESS, nullptr, &stale, nullptr));
    ::RegCloseKey(stale);
    const RegistryTree before = Tree();
    EXPECT_TRUE(kov_wmi::RegisterCOM(clsid_, modulePath_.c_str(), L"Test Class", L"Test.Class.1", L"Test.Class",
                                     nullptr));
    EXPECT_EQ(before, Tree());
}

TEST_F(ComRegistrationTest, RefusesWhatItCannotRegister)
{
    ScopedTempFolder folder;
    const std::wstring missing = folder / L"missing.dll";
    const struct {
        const wchar_t* path;
        const wchar_t* name;
        const wchar_t* progId;
        std::wstring message;
    } cases[] = {
        {modulePath_.c_str(), L"", L"P.1", L"COM object name is empty for " + modulePath_},
        {nullptr, nullptr, L"P.1", L"COM object name is empty for "},
        {modulePath_.c_str(), L"N", nullptr, L"Prog ID of COM object name is empty for " + modulePath_},
        {L"", L"N", L"P.1", L"File path is empty"},
        {folder.Path().c_str(), L"N", L"P.1", L"Cannot find: " + folder.Path()},
        {missing.c_str(), L"N", L"P.1", L"Cannot find: " + missing},
    };
    for (const auto& c : cases) {
        LogRecorder::Clear();
        EXPECT_FALSE(kov_wmi::RegisterCOM(clsid_, c.path, c.name, c.progId, L"P", LogRecorder::Callback()));
        const auto messages = LogRecorder::Messages();
        ASSERT_EQ(1u, messages.size());
        EXPECT_EQ(1, messages[0].level);
        EXPECT_EQ(c.message, messages[0].message);
        EXPECT_EQ("kov_wmi::RegisterCOM", messages[0].function);
        EXPECT_EQ(&kov_wmi::g_logContext, messages[0].context);
        EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, classKey_));
    }

    LogRecorder::Clear();
    EXPECT_FALSE(kov_wmi::RegisterCOM(clsid_, static_cast<HINSTANCE>(nullptr), L"N", L"P.1", L"P",
                                      LogRecorder::Callback()));
    ASSERT_EQ(1u, LogRecorder::Messages().size());
    EXPECT_EQ(L"Instance handler should not be 0", LogRecorder::Messages()[0].message);

    LogRecorder::Clear();
    EXPECT_FALSE(kov_wmi::RegisterCOM(clsid_, reinterpret_cast<HINSTANCE>(0x1230), L"N", L"P.1", L"P",
                                      LogRecorder::Callback()));
    ASSERT_EQ(1u, LogRecorder::Messages().size());
    EXPECT_EQ(0u, LogRecorder::Messages()[0].message.find(L"Cannot get filename from handler: 4656 with error: "))
        << std::string(LogRecorder::Messages()[0].message.begin(), LogRecorder::Messages()[0].message.end());

    // Without a callback the failures only return false.
    LogRecorder::Clear();
    EXPECT_FALSE(kov_wmi::RegisterCOM(clsid_, L"", L"N", L"P.1", L"P", nullptr));
    EXPECT_TRUE(LogRecorder::Messages().empty());
}

TEST_F(ComRegistrationTest, UnregisteringRemovesTheWholeTreeAndAMissingKeyIsFine)
{
    ASSERT_TRUE(kov_wmi::RegisterCOM(clsid_, modulePath_.c_str(), L"Test Class", L"Test.Class.1", L"Test.Class",
                                     nullptr));
    HKEY deep = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (classKey_ + L"\\A\\B\\C").c_str(), 0, nullptr,
                                               0, KEY_ALL_ACCESS, nullptr, &deep, nullptr));
    ::RegCloseKey(deep);
    EXPECT_TRUE(kov_wmi::UnregisterCOM(clsid_, nullptr));
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, classKey_));
    EXPECT_TRUE(RegistryKeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID"));
    EXPECT_TRUE(kov_wmi::UnregisterCOM(clsid_, nullptr)) << "a missing key counts as removed";
}

}  // namespace
