// Refreshers as WMI drives them: the block opened at construction, the
// instance handed out, enumerator slots and object ids, the client check.

#include <regex>

#include "WMIRouterClient/module.h"
#include "WMIRouterClient/process_globals.h"
#include "WMIRouterClient/refresher.h"
#include "block_publisher.h"
#include "file_contents.h"
#include "scoped_environment_variable.h"
#include "scoped_temp_folder.h"
#include "provider_fixture.h"

namespace {

using wmihost::FaultPlan;

class RefresherTest : public ProviderTest {
protected:
    LONG AddEnumerator(IWbemHiPerfProvider* provider, IWbemRefresher* refresher,
                       com_ptr<wmihost::HiPerfEnum>& enumerator, HRESULT expected = S_OK)
    {
        enumerator = host_->NewEnum();
        LONG id = -1;
        EXPECT_EQ(expected, provider->CreateRefreshableEnum(Services(), L"Win32_PerfRawData_Marrowfell_Router_Client",
                                                            refresher, 0, nullptr, enumerator.get(), &id));
        return id;
    }
};

TEST_F(RefresherTest, WithoutABlockItReportsAndStillRefreshesZeros)
{
    // The diagnostic log takes its folder from TEMP on first use.
    ScopedTempFolder temp;
    ScopedEnvironmentVariable tempVariable(L"TEMP", temp.Path().c_str());
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    LogRecorder::Clear();
    com_ptr<IWbemRefresher> refresher = NewRefresher(provider.get());
    const auto messages = LogRecorder::Messages();
    EXPECT_TRUE(messages.empty()) << "refreshers report to the diagnostic log, not elsewhere";
    EXPECT_EQ(L"Cannot access to shared memory for Router general counters",
              std::wstring(g_providerLogContext.text));

    // The absent block at level 3 and the refresher's failure at level 1;
    // the level-4 trace stays out of the file.
    SYSTEMTIME today = {};
    ::GetLocalTime(&today);
    wchar_t day[16] = {};
    _snwprintf(day, 15, L"%04u%02u%02u", today.wYear, today.wMonth, today.wDay);
    WIN32_FIND_DATAW found = {};
    HANDLE search = ::FindFirstFileW((temp.Path() + L"\\" + day + L"\\*_log_*.txt").c_str(), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    ::FindClose(search);
    const auto lines = SplitCrLfLines(ReadFileBytes(temp.Path() + L"\\" + day + L"\\" + found.cFileName));
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(
        R"(\d\d/\d\d \d\d:\d\d:\d\d\|  \[WMISharedMem<struct wmirouter_perf_t>::Acquire\]- )"
        R"(Shared memory \[Global\\WMIZANRouterCounterPerformanceProvider\] for performance provider not created yet)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(
        R"(\d\d/\d\d \d\d:\d\d:\d\d\|E \[CRefresher::CRefresher\]- )"
        R"(Cannot access to shared memory for Router general counters)")))
        << lines[1];
    com_ptr<wmihost::HiPerfEnum> enumerator;
    EXPECT_EQ(0, AddEnumerator(provider.get(), refresher.get(), enumerator));
    provider.reset();
    EXPECT_EQ(2, module::ObjectCount()) << "the refresher is counted and holds the provider";
    EXPECT_EQ(S_OK, refresher->Refresh(0));
    const auto objects = enumerator->Objects();
    ASSERT_EQ(1u, objects.size());
    EXPECT_EQ(0, objects[0].first);
    EXPECT_EQ((Counters{0, 0, 0, 0, 0}), ReadCounters(objects[0].second.get()));
    std::wstring key;
    EXPECT_TRUE(wmihost::Host::ReadString(objects[0].second.get(), L"Name", key));
    EXPECT_EQ(L"0", key);
}

TEST_F(RefresherTest, RefreshDeliversTheLatestSampleToEveryConsumer)
{
    BlockPublisher router;
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    com_ptr<IWbemRefresher> refresher = NewRefresher(provider.get());
    EXPECT_EQ(L"Initialize the instance map for general counter", std::wstring(g_providerLogContext.text));
    com_ptr<wmihost::HiPerfEnum> first, second;
    EXPECT_EQ(0, AddEnumerator(provider.get(), refresher.get(), first));
    EXPECT_EQ(1, AddEnumerator(provider.get(), refresher.get(), second));
    com_ptr<IWbemObjectAccess> object;
    LONG objectId = 0;
    com_ptr<IWbemObjectAccess> templ = NewInstance(L"0");
    ASSERT_EQ(S_OK, provider->CreateRefreshableObject(Services(), templ.get(), refresher.get(), 0, nullptr,
                                                      object.put(), &objectId));

    router.Publish({50, 40, 30, 20, 10}, 100);
    ASSERT_TRUE(WaitUntil([&] {
        refresher->Refresh(0);
        return ReadCounters(object.get()) == Counters{50, 40, 30, 20, 10};
    }));
    // One instance serves the object and both enumerators.
    EXPECT_EQ(object.get(), first->Objects()[0].second.get());
    EXPECT_EQ(object.get(), second->Objects()[0].second.get());
    EXPECT_EQ(S_OK, provider->StopRefreshing(refresher.get(), objectId, 0));
}

TEST_F(RefresherTest, ObjectIdsRunOnAcrossRefreshersAndAreNeverReused)
{
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    com_ptr<IWbemRefresher> one = NewRefresher(provider.get());
    com_ptr<IWbemRefresher> two = NewRefresher(provider.get());
    com_ptr<IWbemObjectAccess> templ = NewInstance(L"0");
    auto create = [&](IWbemRefresher* refresher, HRESULT expected) {
        com_ptr<IWbemObjectAccess> object;
        LONG id = -1;
        EXPECT_EQ(expected, provider->CreateRefreshableObject(Services(), templ.get(), refresher, 0,
                                                             nullptr, object.put(), &id));
        EXPECT_EQ(expected == S_OK, static_cast<bool>(object));
        return id;
    };
    EXPECT_EQ(10, create(one.get(), S_OK));
    EXPECT_EQ(11, create(two.get(), S_OK));
    EXPECT_EQ(-1, create(one.get(), WBEM_E_OUT_OF_MEMORY)) << "one object per refresher";
    EXPECT_EQ(WBEM_E_NOT_FOUND, provider->StopRefreshing(one.get(), 11, 0)) << "11 is the other's";
    EXPECT_EQ(S_OK, provider->StopRefreshing(one.get(), 10, 0));
    EXPECT_EQ(WBEM_E_NOT_FOUND, provider->StopRefreshing(one.get(), 10, 0));
    EXPECT_EQ(12, create(one.get(), S_OK));
}

TEST_F(RefresherTest, TemplatesMustNameInstanceZero)
{
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    com_ptr<IWbemRefresher> refresher = NewRefresher(provider.get());
    const struct {
        const wchar_t* key;
        HRESULT expected;
    } cases[] = {
        {L"1", Hr(WBEM_E_NOT_FOUND)}, {L"-1", Hr(WBEM_E_NOT_FOUND)}, {L"", Hr(WBEM_E_INVALID_PARAMETER)},
        {nullptr, Hr(WBEM_E_INVALID_PARAMETER)},
    };
    for (const auto& c : cases) {
        com_ptr<IWbemObjectAccess> templ = NewInstance(c.key);
        IWbemObjectAccess* object = reinterpret_cast<IWbemObjectAccess*>(0x1);
        LONG id = -7;
        EXPECT_EQ(c.expected, provider->CreateRefreshableObject(Services(), templ.get(), refresher.get(),
                                                               0, nullptr, &object, &id));
        EXPECT_EQ(reinterpret_cast<IWbemObjectAccess*>(0x1), object) << "nothing handed out";
        EXPECT_EQ(-7, id);
    }
}

TEST_F(RefresherTest, EnumeratorSlotsAreReusedAndTheEleventhIsRefused)
{
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    com_ptr<IWbemRefresher> refresher = NewRefresher(provider.get());
    com_ptr<wmihost::HiPerfEnum> enumerators[11];
    for (LONG i = 0; i < 10; ++i) {
        EXPECT_EQ(i, AddEnumerator(provider.get(), refresher.get(), enumerators[i]));
    }
    AddEnumerator(provider.get(), refresher.get(), enumerators[10], WBEM_E_FAILED);
    EXPECT_TRUE(enumerators[10]->Objects().empty());

    EXPECT_EQ(S_OK, provider->StopRefreshing(refresher.get(), 1, 0));
    EXPECT_EQ(WBEM_E_FAILED, provider->StopRefreshing(refresher.get(), 1, 0)) << "slot already empty";
    EXPECT_EQ(1, AddEnumerator(provider.get(), refresher.get(), enumerators[1]));
    EXPECT_EQ(S_OK, provider->StopRefreshing(refresher.get(), 9, 0));
    for (LONG id : {-1L, -100L}) {
        EXPECT_EQ(WBEM_E_FAILED, provider->StopRefreshing(refresher.get(), id, 0)) << id;
    }
}

TEST_F(RefresherTest, AnEnumeratorThatRefusesTheInstanceIsNotStored)
{
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    com_ptr<IWbemRefresher> refresher = NewRefresher(provider.get());
    host_->Faults().Fail(FaultPlan::Operation::AddObjects, 1, WBEM_E_OUT_OF_MEMORY);
    com_ptr<wmihost::HiPerfEnum> refused;
    AddEnumerator(provider.get(), refresher.get(), refused, WBEM_E_OUT_OF_MEMORY);
    com_ptr<wmihost::HiPerfEnum> next;
    EXPECT_EQ(0, AddEnumerator(provider.get(), refresher.get(), next)) << "the slot stayed free";
}

TEST_F(RefresherTest, AnIdentifyLevelClientIsRefusedAndReverted)
{
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    com_ptr<IWbemRefresher> refresher = NewRefresher(provider.get());
    ASSERT_TRUE(::ImpersonateSelf(SecurityIdentification));
    EXPECT_EQ(WBEM_E_ACCESS_DENIED, refresher->Refresh(0));
    HANDLE token = nullptr;
    EXPECT_FALSE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_TOKEN), ::GetLastError()) << "the thread was reverted";

    // Every client-facing method makes the same check.
    ASSERT_TRUE(::ImpersonateSelf(SecurityIdentification));
    com_ptr<IWbemRefresher> refused;
    EXPECT_EQ(WBEM_E_ACCESS_DENIED, provider->CreateRefresher(Services(), 0, refused.put()));
    ASSERT_TRUE(::ImpersonateSelf(SecurityIdentification));
    EXPECT_EQ(WBEM_E_ACCESS_DENIED, provider->StopRefreshing(refresher.get(), 0, 0));

    // Impersonate level and above go on.
    ASSERT_TRUE(::ImpersonateSelf(SecurityImpersonation));
    EXPECT_EQ(S_OK, refresher->Refresh(0));
    ::RevertToSelf();
}

TEST_F(RefresherTest, RefreshWithoutAnInstanceAnswersTheImpersonationResult)
{
    host_->Faults().Fail(FaultPlan::Operation::SpawnInstance, 0);
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    com_ptr<IWbemRefresher> refresher = NewRefresher(provider.get());
    // Outside a COM call there is no call context to impersonate.
    EXPECT_EQ(RPC_E_CALL_COMPLETE, refresher->Refresh(0));
    com_ptr<wmihost::HiPerfEnum> enumerator = host_->NewEnum();
    LONG id = -1;
    EXPECT_EQ(S_OK, provider->CreateRefreshableEnum(Services(), L"x", refresher.get(), 0, nullptr,
                                                    enumerator.get(), &id));
    EXPECT_TRUE(enumerator->Objects().empty()) << "no instance to enumerate";
}

TEST_F(RefresherTest, TheLastRefresherTakesTheDataSourceAndPollerWithIt)
{
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    com_ptr<IWbemRefresher> refresher = NewRefresher(provider.get());
    ASSERT_NE(nullptr, CPerfDataSource::Process());
    EXPECT_EQ(1, module::ThreadCount());
    provider.reset();
    EXPECT_EQ(S_FALSE, DllCanUnloadNow()) << "a live refresher keeps the module";
    refresher.reset();
    EXPECT_EQ(nullptr, CPerfDataSource::Process());
    EXPECT_EQ(0, module::ThreadCount());
    EXPECT_EQ(S_OK, DllCanUnloadNow());
}

}  // namespace
