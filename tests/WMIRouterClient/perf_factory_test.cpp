// The module's COM surface as WMI meets it: DllGetClassObject, the class
// factory and the counts behind DllCanUnloadNow.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <oaidl.h>

#include "WMIRouterClient/module.h"
#include "allocation_counter.h"

namespace {

void* const kUntouched = reinterpret_cast<void*>(0x5A5A5A5A);

IClassFactory* GetFactory()
{
    IClassFactory* factory = nullptr;
    EXPECT_EQ(S_OK, DllGetClassObject(CLSID_RouterPerfClient, IID_IClassFactory,
                                      reinterpret_cast<void**>(&factory)));
    return factory;
}

TEST(DllGetClassObject, AnyOtherClassIsNotAvailable)
{
    const long before = LiveAllocations();
    void* out = kUntouched;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(IID_IDispatch, IID_IClassFactory, &out));
    EXPECT_EQ(before, LiveAllocations());
    EXPECT_EQ(S_OK, DllCanUnloadNow());
}

TEST(DllGetClassObject, AnswersForUnknownAndClassFactoryOnly)
{
    const struct {
        const IID* iid;
        HRESULT expected;
    } cases[] = {
        {&IID_IUnknown, S_OK},
        {&IID_IClassFactory, S_OK},
        {&IID_IDispatch, E_NOINTERFACE},
        {&IID_IMarshal, E_NOINTERFACE},
    };
    for (const auto& c : cases) {
        const long before = LiveAllocations();
        void* out = kUntouched;
        EXPECT_EQ(c.expected, DllGetClassObject(CLSID_RouterPerfClient, *c.iid, &out));
        if (c.expected == S_OK) {
            ASSERT_NE(kUntouched, out);
            EXPECT_EQ(0u, static_cast<IUnknown*>(out)->Release()) << "one reference for the caller";
        } else {
            EXPECT_EQ(kUntouched, out) << "a refused request leaves *ppv as it was";
        }
        EXPECT_EQ(before, LiveAllocations()) << "no factory left behind";
    }
}

TEST(CPerfFactory, RefusesAggregationAndClearsTheOutPointer)
{
    IClassFactory* factory = GetFactory();
    ASSERT_NE(nullptr, factory);
    int outer = 0;  // never called: only its address matters
    void* out = kUntouched;
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              factory->CreateInstance(reinterpret_cast<IUnknown*>(&outer), IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0, module::ObjectCount());
    factory->Release();
}

TEST(CPerfFactory, UnsupportedInterfaceLeavesNoObjectBehind)
{
    IClassFactory* factory = GetFactory();
    ASSERT_NE(nullptr, factory);
    const LONG objects = module::ObjectCount();
    const long allocations = LiveAllocations();
    void* out = kUntouched;
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(objects, module::ObjectCount());
    EXPECT_EQ(allocations, LiveAllocations());
    factory->Release();
}

TEST(CPerfFactory, ProviderCountsAsALiveObjectUntilReleased)
{
    IClassFactory* factory = GetFactory();
    ASSERT_NE(nullptr, factory);
    IUnknown* provider = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&provider)));
    EXPECT_EQ(1, module::ObjectCount());
    factory->Release();  // the factory itself does not keep the module
    EXPECT_EQ(S_FALSE, DllCanUnloadNow());
    EXPECT_EQ(2u, provider->AddRef());
    EXPECT_EQ(1u, provider->Release());
    EXPECT_EQ(0u, provider->Release());
    EXPECT_EQ(0, module::ObjectCount());
    EXPECT_EQ(S_OK, DllCanUnloadNow());
}

TEST(CPerfFactory, LockServerHoldsTheModuleInBothDirections)
{
    IClassFactory* factory = GetFactory();
    ASSERT_NE(nullptr, factory);
    EXPECT_EQ(S_OK, DllCanUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory->Release();
    EXPECT_EQ(S_FALSE, DllCanUnloadNow()) << "no object alive, but the server is locked";
    EXPECT_EQ(2, module::LockCount());
    IClassFactory* again = GetFactory();
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(S_OK, again->LockServer(FALSE));
    EXPECT_EQ(S_FALSE, DllCanUnloadNow());
    EXPECT_EQ(S_OK, again->LockServer(FALSE));
    EXPECT_EQ(S_OK, DllCanUnloadNow());
    again->Release();
}

TEST(CPerfFactory, CountsAreExactUnderConcurrentUse)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    HANDLE threads[kThreads] = {};
    for (auto& thread : threads) {
        thread = ::CreateThread(
            nullptr, 0,
            [](void*) -> DWORD {
                for (int i = 0; i < kRounds; ++i) {
                    IClassFactory* factory = GetFactory();
                    IUnknown* provider = nullptr;
                    factory->LockServer(TRUE);
                    factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&provider));
                    factory->Release();
                    provider->Release();
                    factory = GetFactory();
                    factory->LockServer(FALSE);
                    factory->Release();
                }
                return 0;
            },
            nullptr, 0, nullptr);
        ASSERT_NE(nullptr, thread);
    }
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForMultipleObjects(kThreads, threads, TRUE, 60000));
    for (HANDLE thread : threads) {
        ::CloseHandle(thread);
    }
    EXPECT_EQ(0, module::ObjectCount());
    EXPECT_EQ(0, module::LockCount());
    EXPECT_EQ(S_OK, DllCanUnloadNow());
}

}  // namespace
