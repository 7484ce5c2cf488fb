// The shipped DLL through many provider lifetimes: nothing may be left in the
// process, and the module must be free to go and come back.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include "block_publisher.h"
#include "process_census.h"
#include "provider_fixture.h"
#include "tools/host/provider_module.h"
#include "tools/wmi_host/host.h"

namespace {

class DllLifecycleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dll_.Load(L"RouterPerfClient.dll")) << std::string(dll_.Error().begin(), dll_.Error().end());
        std::wstring error;
        host_ = wmihost::Host::FromMof(FileBesideProgram(L"RouterClientPerf.mof"),
                                       L"Win32_PerfRawData_Marrowfell_Router_Client", error);
        ASSERT_TRUE(host_);
    }

    // Provider, refresher and enumerator made, refreshed once and released.
    void OneLifetime(DWORD expectedValue)
    {
        com_ptr<IClassFactory> factory;
        ASSERT_EQ(S_OK, dll_.GetClassObject(kRouterPerfClientClsid, IID_IClassFactory,
                                            reinterpret_cast<void**>(factory.put())));
        com_ptr<IWbemProviderInit> init;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IWbemProviderInit, reinterpret_cast<void**>(init.put())));
        factory.reset();
        com_ptr<wmihost::InitSink> sink = host_->NewInitSink();
        wchar_t ns[] = L"root\\cimv2";
        ASSERT_EQ(S_OK, init->Initialize(nullptr, 0, ns, nullptr, host_->Services(), nullptr, sink.get()));
        com_ptr<IWbemHiPerfProvider> provider = com_query<IWbemHiPerfProvider>(init.get());
        init.reset();
        com_ptr<IWbemRefresher> refresher;
        ASSERT_EQ(S_OK, provider->CreateRefresher(host_->Services(), 0, refresher.put()));
        com_ptr<wmihost::HiPerfEnum> enumerator = host_->NewEnum();
        LONG id = -1;
        ASSERT_EQ(S_OK, provider->CreateRefreshableEnum(host_->Services(), L"x", refresher.get(), 0, nullptr,
                                                        enumerator.get(), &id));
        ASSERT_EQ(S_OK, refresher->Refresh(0));
        DWORD value = 0;
        ASSERT_TRUE(wmihost::Host::ReadDword(enumerator->Objects().front().second.get(), L"srv_conns", value));
        if (expectedValue != 0) {
            // The first refresh may come before the new poller's first look.
            ASSERT_TRUE(WaitUntil([&] {
                refresher->Refresh(0);
                wmihost::Host::ReadDword(enumerator->Objects().front().second.get(), L"srv_conns", value);
                return value == expectedValue;
            }));
        }
        ASSERT_EQ(S_OK, provider->StopRefreshing(refresher.get(), id, 0));
    }

    ProviderModule dll_;
    std::unique_ptr<wmihost::Host> host_;
};

TEST_F(DllLifecycleTest, AThousandLifetimesLeaveNothingBehind)
{
    BlockPublisher router;
    router.Publish({7, 7, 7, 7, 7}, 1);
    OneLifetime(7);  // first-use costs (runtime, diagnostic log) are paid here
    const long hostObjects = host_->LiveObjects();
    const ProcessCensus before = ProcessCensus::Take();
    ASSERT_GT(before.handles, 0);
    for (int i = 0; i < 1000; ++i) {
        OneLifetime(0);
        if (HasFatalFailure()) {
            return;
        }
    }
    EXPECT_EQ(before, ProcessCensus::Take());
    EXPECT_EQ(hostObjects, host_->LiveObjects());
    EXPECT_EQ(S_OK, dll_.CanUnloadNow());

    // Freed and loaded again, the module serves as before.
    dll_.Unload();
    EXPECT_EQ(nullptr, ::GetModuleHandleW(L"RouterPerfClient.dll"));
    ASSERT_TRUE(dll_.Load(L"RouterPerfClient.dll"));
    router.Publish({8, 8, 8, 8, 8}, 2);
    OneLifetime(8);
    EXPECT_EQ(S_OK, dll_.CanUnloadNow());
}

// A host that frees an idle provider and loads it again later, many times
// over one long-lived thread, must not lose anything per round.
TEST_F(DllLifecycleTest, LoadingAndFreeingTheDllAgainAndAgainLeavesNothingBehind)
{
    BlockPublisher router;
    router.Publish({7, 7, 7, 7, 7}, 1);
    auto reload = [&] {
        ASSERT_EQ(S_OK, dll_.CanUnloadNow());
        dll_.Unload();
        ASSERT_EQ(nullptr, ::GetModuleHandleW(L"RouterPerfClient.dll"));
        ASSERT_TRUE(dll_.Load(L"RouterPerfClient.dll"));
    };
    OneLifetime(7);
    reload();
    const ProcessCensus before = ProcessCensus::Take();
    for (int i = 0; i < 50 && !HasFatalFailure(); ++i) {
        OneLifetime(0);
        reload();
    }
    ProcessCensus after;
    WaitUntil([&] { return (after = ProcessCensus::Take()) == before; }, 5000);
    EXPECT_EQ(before, after);
}

}  // namespace
