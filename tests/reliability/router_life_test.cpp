// The provider across the router's life: started after the provider, stopped,
// and replaced by a new router with other values.

#include "block_publisher.h"
#include "provider_fixture.h"

namespace {

constexpr const wchar_t* kClass = L"Win32_PerfRawData_Marrowfell_Router_Client";

class RouterLifeTest : public ProviderTest {
protected:
    // Refreshes until the instance shows `expected` (or the deadline passes).
    static bool Shows(IWbemRefresher* refresher, IWbemObjectAccess* instance, DWORD expected)
    {
        return WaitUntil([&] {
            refresher->Refresh(0);
            return ReadCounters(instance)[0] == expected;
        });
    }
};

TEST_F(RouterLifeTest, TheProviderFollowsRoutersThatComeAndGo)
{
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    com_ptr<IWbemRefresher> early = NewRefresher(provider.get());  // no router yet
    com_ptr<wmihost::HiPerfEnum> enumerator = host_->NewEnum();
    LONG id = -1;
    ASSERT_EQ(S_OK, provider->CreateRefreshableEnum(Services(), kClass, early.get(), 0, nullptr,
                                                    enumerator.get(), &id));
    com_ptr<IWbemObjectAccess> instance = std::move(enumerator->Objects().front().second);

    auto router = std::make_unique<BlockPublisher>();
    router->Publish({11, 11, 11, 11, 11}, 1);
    EXPECT_EQ(S_OK, early->Refresh(0));
    EXPECT_EQ(0u, ReadCounters(instance.get())[0]) << "not opened until a refresher is made";
    com_ptr<IWbemRefresher> later = NewRefresher(provider.get());
    EXPECT_TRUE(Shows(early.get(), instance.get(), 11)) << "the next refresher opens it for every refresher";

    // The router stops; the counters keep their last values.
    router.reset();
    EXPECT_EQ(S_OK, early->Refresh(0));
    EXPECT_EQ(11u, ReadCounters(instance.get())[0]);

    // A new router starts with other values; the next refresher re-opens.
    router = std::make_unique<BlockPublisher>();
    router->Publish({22, 22, 22, 22, 22}, 2);
    com_ptr<IWbemRefresher> again = NewRefresher(provider.get());
    EXPECT_TRUE(Shows(early.get(), instance.get(), 22));
    router->Publish({23, 23, 23, 23, 23}, 3);
    EXPECT_TRUE(Shows(early.get(), instance.get(), 23));
    EXPECT_EQ(S_OK, provider->StopRefreshing(early.get(), id, 0));
}

}  // namespace
