// The shipped RouterPerfClient.dll, loaded the way COM loads it.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <clocale>

#include "common/util/unique_resource.h"
#include "tools/host/provider_module.h"

namespace {

class ProviderDll : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dll_.Load(L"RouterPerfClient.dll")) << dll_.Error();
    }

    ProviderModule dll_;
};

TEST_F(ProviderDll, AttachSetsTheUserDefaultLocale)
{
    // The runtime is shared with this program, so the DLL's choice shows here.
    const char* locale = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(nullptr, locale);
    EXPECT_STRNE("C", locale);
}

TEST_F(ProviderDll, ServesItsClassAndUnloadsWhenTheLastObjectGoes)
{
    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, dll_.GetClassObject(kRouterPerfClientClsid, IID_IClassFactory,
                                    reinterpret_cast<void**>(&factory)));
    IUnknown* provider = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&provider)));
    factory->Release();
    EXPECT_EQ(S_FALSE, dll_.CanUnloadNow());
    provider->Release();
    EXPECT_EQ(S_OK, dll_.CanUnloadNow());

    // Freed and loaded again, the module starts from clean counts.
    dll_.Unload();
    ASSERT_TRUE(dll_.Load(L"RouterPerfClient.dll")) << dll_.Error();
    EXPECT_EQ(S_OK, dll_.CanUnloadNow());
}

TEST(MessageTable, RendersTheInsertionStringOfEachLoggerEvent)
{
    unique_module dll(::LoadLibraryExW(L"RouterPerfClient.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(dll);
    for (DWORD id : {0xEFFF2710u, 0xAFFF4E20u, 0x6FFF7530u, 0x6FFFC350u}) {
        const wchar_t* inserts[] = {L"queue limit reached: 1000 records dropped"};
        wchar_t text[512] = {};
        const DWORD units = ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                             dll.get(), id, 0, text, 512,
                                             reinterpret_cast<va_list*>(const_cast<wchar_t**>(inserts)));
        EXPECT_NE(0u, units) << std::hex << id << " error " << std::dec << ::GetLastError();
        EXPECT_STREQ(L"queue limit reached: 1000 records dropped\r\n", text) << std::hex << id;
    }
}

}  // namespace
