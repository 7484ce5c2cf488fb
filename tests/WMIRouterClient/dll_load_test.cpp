// The shipped RouterPerfClient.dll, loaded the way COM loads it.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <clocale>
#include <cstring>

#include "common/util/unique_resource.h"

namespace {

const CLSID kRouterPerfClient = {
    0x72390812, 0xEE29, 0x4309, {0x9B, 0x19, 0xAC, 0xF1, 0x98, 0xDD, 0xB0, 0x69}};

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using NoArgumentFn = HRESULT(STDAPICALLTYPE*)();

template <typename Fn>
Fn Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

class ProviderDll : public ::testing::Test {
protected:
    void SetUp() override
    {
        dll_.reset(::LoadLibraryW(L"RouterPerfClient.dll"));
        ASSERT_TRUE(dll_) << "RouterPerfClient.dll not found beside the test program";
        getClassObject_ = Export<GetClassObjectFn>(dll_.get(), "DllGetClassObject");
        canUnloadNow_ = Export<NoArgumentFn>(dll_.get(), "DllCanUnloadNow");
        ASSERT_NE(nullptr, getClassObject_);
        ASSERT_NE(nullptr, canUnloadNow_);
    }

    unique_module dll_;
    GetClassObjectFn getClassObject_ = nullptr;
    NoArgumentFn canUnloadNow_ = nullptr;
};

TEST_F(ProviderDll, ExportsTheFourServerEntryPoints)
{
    for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer",
                             "DllUnregisterServer"}) {
        EXPECT_NE(nullptr, ::GetProcAddress(dll_.get(), name)) << name;
    }
}

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
    ASSERT_EQ(S_OK, getClassObject_(kRouterPerfClient, IID_IClassFactory,
                                    reinterpret_cast<void**>(&factory)));
    IUnknown* provider = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&provider)));
    factory->Release();
    EXPECT_EQ(S_FALSE, canUnloadNow_());
    provider->Release();
    EXPECT_EQ(S_OK, canUnloadNow_());

    // Freed and loaded again, the module starts from clean counts.
    dll_.reset();
    dll_.reset(::LoadLibraryW(L"RouterPerfClient.dll"));
    ASSERT_TRUE(dll_);
    canUnloadNow_ = Export<NoArgumentFn>(dll_.get(), "DllCanUnloadNow");
    EXPECT_EQ(S_OK, canUnloadNow_());
}

}  // namespace
