// The provider following a router that runs as a process of its own.

#include <set>

#include "WMIRouterClient/wmirouter_perf.h"
#include "block_publisher.h"
#include "child_process.h"
#include "provider_fixture.h"

namespace {

TEST_F(ProviderTest, FollowsRouterSimRunningInAnotherProcess)
{
    ChildProcess router;
    ASSERT_TRUE(StartRouterSim(router, L"--pattern same --rate 200 --duration 4")) << router.Output();

    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    com_ptr<IWbemRefresher> refresher = NewRefresher(provider.get());
    com_ptr<wmihost::HiPerfEnum> enumerator = host_->NewEnum();
    LONG id = -1;
    ASSERT_EQ(S_OK, provider->CreateRefreshableEnum(Services(), L"Win32_PerfRawData_Marrowfell_Router_Client",
                                                    refresher.get(), 0, nullptr, enumerator.get(), &id));
    com_ptr<IWbemObjectAccess> instance = std::move(enumerator->Objects().front().second);

    std::set<DWORD> seen;
    DWORD last = 0;
    EXPECT_TRUE(WaitUntil([&] {
        EXPECT_EQ(S_OK, refresher->Refresh(0));
        const Counters values = ReadCounters(instance.get());
        for (DWORD value : values) {
            EXPECT_EQ(values[0], value) << "every counter of a sample carries its sequence number";
        }
        EXPECT_GE(values[0], last) << "samples never go backwards";
        last = values[0];
        if (values[0] != 0) {
            seen.insert(values[0]);
        }
        return seen.size() >= 5;
    }, 20000));

    DWORD exitCode = 1;
    ASSERT_TRUE(router.Wait(30000, exitCode));
    EXPECT_EQ(0u, exitCode) << router.Output();
    EXPECT_NE(std::string::npos, router.Output().find("published 800 samples")) << router.Output();
}

}  // namespace
