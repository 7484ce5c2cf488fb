// The shipped DLL through many provider lifetimes: nothing may be left in the
// process, and the module must be free to go and come back.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <cstdio>
#include <functional>

#include "block_publisher.h"
#include "child_process.h"
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

    // Provider, refresher and enumerator made, refreshed once and released;
    // `whileAlive` runs while all of them are in use.
    void OneLifetime(DWORD expectedValue, const std::function<void()>& whileAlive = nullptr)
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
        if (whileAlive) {
            whileAlive();
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

// The DLL carries the library's logger, timer subsystem and symbol engine
// but starts none of their threads: in use, it runs its poller and nothing
// else, and after use nothing at all.
TEST_F(DllLifecycleTest, ThePollerIsTheOnlyThreadTheDllRuns)
{
    BlockPublisher router;
    router.Publish({3, 3, 3, 3, 3}, 1);
    OneLifetime(3);  // what COM and the host start once is running from here on
    ASSERT_TRUE(WaitUntil([&] { return dll_.CanUnloadNow() == S_OK; }));
    const ProcessCensus idle = ProcessCensus::Take();
    long inUse = -1;
    OneLifetime(0, [&] { inUse = ProcessCensus::Take().threads; });
    EXPECT_EQ(idle.threads + 1, inUse);
    ProcessCensus after;
    EXPECT_TRUE(WaitUntil([&] { return (after = ProcessCensus::Take()).threads == idle.threads; }))
        << after;
}

// Committed private memory of the process, summed over its address space
// (the process memory counters report no private usage under Wine).
SIZE_T PrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region = {};
    for (const char* address = nullptr;
         ::VirtualQuery(address, &region, sizeof(region)) == sizeof(region);
         address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            total += region.RegionSize;
        }
    }
    return total;
}

// A host that frees an idle provider and loads it again later, many times
// over one long-lived thread, must not lose anything per round: every load
// builds the library's process-wide objects again (the logger, the charset
// table from the registry, the symbol engine) and every unload destroys them.
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
    // The first rounds pay for what the runtime and the host keep.
    for (int i = 0; i < 5 && !HasFatalFailure(); ++i) {
        OneLifetime(i == 0 ? 7 : 0);
        reload();
    }
    const ProcessCensus before = ProcessCensus::Take();
    const SIZE_T privateBefore = PrivateBytes();
    constexpr int kRounds = 200;
    for (int i = 0; i < kRounds && !HasFatalFailure(); ++i) {
        OneLifetime(0);
        reload();
    }
    ProcessCensus after;
    WaitUntil([&] { return (after = ProcessCensus::Take()) == before; }, 5000);
    const SIZE_T privateAfter = PrivateBytes();
    std::printf("%d load/free rounds: handles %ld -> %ld, threads %ld -> %ld, private bytes %zu -> %zu\n",
                kRounds, before.handles, after.handles, before.threads, after.threads, privateBefore,
                privateAfter);
    EXPECT_EQ(before, after);
    ASSERT_GT(privateBefore, 0u);
    // Heap pages the allocator keeps for reuse may differ a little; a leak
    // of even 1 KB a round would be 200 KB.
    EXPECT_LT(privateAfter, privateBefore + 128 * 1024);
}

// A WMI host that is stopped ends its process with providers in use: the
// poller is running and the block is mapped. The process must end at once
// and cleanly, whether it calls ExitProcess or returns from main.
TEST(ProviderProcessExit, EndsPromptlyWithAProviderAndRefresherAlive)
{
    for (const wchar_t* mode : {L"exit", L"return"}) {
        std::string output;
        EXPECT_EQ(0, RunToEnd(L"provider-exit-child.exe", mode, output, 30000)) << output;
        EXPECT_NE(std::string::npos, output.find("alive")) << output;
    }
}

}  // namespace
