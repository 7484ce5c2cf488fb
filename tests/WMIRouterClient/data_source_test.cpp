// The counter data source: what its poller takes from the router's block,
// and what UpdateInstance writes into WMI's objects.

#include <ctime>

#include "WMIRouterClient/module.h"
#include "WMIRouterClient/perf_data_source.h"
#include "WMIRouterClient/process_globals.h"
#include "block_publisher.h"
#include "provider_fixture.h"

namespace {

using wmihost::FaultPlan;

class DataSourceTest : public ProviderTest {
protected:
    void SetUp() override
    {
        ProviderTest::SetUp();
        // The key handle the provider fetches; UpdateInstance reads keys with it.
        LONG handle = 0;
        com_ptr<IWbemObjectAccess> access = com_query<IWbemObjectAccess>(host_->ClassObject().get());
        ASSERT_EQ(S_OK, access->GetPropertyHandle(L"Name", nullptr, &handle));
        g_nameKeyHandle.store(handle);
    }

    // A data source with its poller running, its reports recorded.
    std::unique_ptr<CPerfDataSource> NewSource()
    {
        std::unique_ptr<CPerfDataSource> source = CPerfDataSource::Create();
        EXPECT_TRUE(source);
        source->SetLogCallback(LogRecorder::Callback());
        EXPECT_EQ(0, source->Initialize(host_->ClassObject().get()));
        EXPECT_TRUE(source->HasPoller());
        return source;
    }

    // Waits until the poller has made one full look at the block from now.
    static void AwaitFullPoll(const CPerfDataSource& source)
    {
        const std::uint64_t start = source.PollCount();
        ASSERT_TRUE(WaitUntil([&] { return source.PollCount() >= start + 2; }));
    }

    static Counters Copied(const CPerfDataSource& source)
    {
        Counters values = {};
        for (int i = 0; i < kCounterCount; ++i) {
            std::int32_t value = 0;
            EXPECT_EQ(0, source.GetCounter(0, i, &value));
            values[i] = static_cast<DWORD>(value);
        }
        return values;
    }
};

const RouterSample kSample = {5, 4, 3, 2, 1};
const Counters kSampleCounters = {5, 4, 3, 2, 1};

TEST_F(DataSourceTest, CountersComeFromTheirOwnOffsetsOnAChangedStamp)
{
    BlockPublisher router;
    ASSERT_TRUE(router.IsReady());
    auto source = NewSource();
    ASSERT_TRUE(g_routerBlock.Initialize(FILE_MAP_READ, nullptr));
    // Upper halves of the slots are never read.
    router.Record()->srv_conns_high = 0xFFFFFFFFu;
    router.Record()->bypass_rcvd_msg_high = 0xFFFFFFFFu;
    router.Publish(kSample, 1);
    EXPECT_TRUE(WaitUntil([&] { return Copied(*source) == kSampleCounters; }));

    com_ptr<IWbemObjectAccess> instance = NewInstance(L"0");
    EXPECT_EQ(S_OK, source->UpdateInstance(instance.get()));
    EXPECT_EQ(kSampleCounters, ReadCounters(instance.get()));
    ASSERT_TRUE(g_routerBlock.Release());
}

TEST_F(DataSourceTest, AnUnchangedStampIsNotPickedUp)
{
    BlockPublisher router;
    router.Publish(kSample, 7);
    auto source = NewSource();
    ASSERT_TRUE(g_routerBlock.Initialize(FILE_MAP_READ, nullptr));
    ASSERT_TRUE(WaitUntil([&] { return Copied(*source) == kSampleCounters; }));

    router.RewriteCounters({9, 9, 9, 9, 9});
    AwaitFullPoll(*source);
    EXPECT_EQ(kSampleCounters, Copied(*source)) << "same stamp, so not a new sample";

    router.Publish({8, 8, 8, 8, 8}, 8);
    EXPECT_TRUE(WaitUntil([&] { return Copied(*source) == Counters{8, 8, 8, 8, 8}; }));
    ASSERT_TRUE(g_routerBlock.Release());
}

TEST_F(DataSourceTest, AStampEqualToTheConstructionTimeIsNotCopied)
{
    BlockPublisher router;
    std::unique_ptr<CPerfDataSource> source;
    std::int64_t constructed = 0;
    // Retried should the second turn between reading the clock and constructing.
    do {
        source.reset();
        constructed = static_cast<std::int64_t>(std::time(nullptr));
        source = NewSource();
    } while (static_cast<std::int64_t>(std::time(nullptr)) != constructed);
    router.Publish(kSample, constructed);
    ASSERT_TRUE(g_routerBlock.Initialize(FILE_MAP_READ, nullptr));
    AwaitFullPoll(*source);
    EXPECT_EQ((Counters{0, 0, 0, 0, 0}), Copied(*source));
    router.Publish(kSample, constructed + 1);
    EXPECT_TRUE(WaitUntil([&] { return Copied(*source) == kSampleCounters; }));
    ASSERT_TRUE(g_routerBlock.Release());
}

TEST_F(DataSourceTest, WithoutABlockTheCountersStayZeroAndUpdatesSucceed)
{
    auto source = NewSource();
    AwaitFullPoll(*source);
    com_ptr<IWbemObjectAccess> instance = NewInstance(L"0");
    EXPECT_EQ(S_OK, source->UpdateInstance(instance.get()));
    EXPECT_EQ((Counters{0, 0, 0, 0, 0}), ReadCounters(instance.get()));
    EXPECT_TRUE(LogRecorder::Messages().empty());
}

TEST_F(DataSourceTest, KeysNameInstanceZeroOrNothing)
{
    auto source = NewSource();
    for (int i = 0; i < kCounterCount; ++i) {
        ASSERT_EQ(0, source->SetCounter(0, i, 10 + i));
    }
    const struct {
        const wchar_t* key;
        HRESULT expected;
    } cases[] = {
        {L"0", S_OK}, {L"", S_OK}, {L" 0", S_OK}, {L"abc", S_OK}, {L"+0", S_OK},
        {L"1", Hr(WBEM_E_NOT_FOUND)}, {L"-1", Hr(WBEM_E_NOT_FOUND)}, {L"99999999999999", Hr(WBEM_E_NOT_FOUND)},
    };
    for (const auto& c : cases) {
        com_ptr<IWbemObjectAccess> instance = NewInstance(c.key);
        EXPECT_EQ(c.expected, source->UpdateInstance(instance.get())) << "key '" << c.key << "'";
        const Counters expected = c.expected == S_OK ? Counters{10, 11, 12, 13, 14} : Counters{};
        EXPECT_EQ(expected, ReadCounters(instance.get())) << "key '" << c.key << "'";
    }
    EXPECT_EQ(WBEM_E_FAILED, source->UpdateInstance(nullptr));
}

TEST_F(DataSourceTest, AFailedWriteStopsTheUpdate)
{
    auto source = NewSource();
    for (int i = 0; i < kCounterCount; ++i) {
        ASSERT_EQ(0, source->SetCounter(0, i, 20 + i));
    }
    com_ptr<IWbemObjectAccess> instance = NewInstance(L"0");
    host_->Faults().Fail(FaultPlan::Operation::WriteDWORD, 2, WBEM_E_TYPE_MISMATCH);
    EXPECT_EQ(WBEM_E_TYPE_MISMATCH, source->UpdateInstance(instance.get()));
    EXPECT_EQ(2, host_->Faults().Calls(FaultPlan::Operation::WriteDWORD));
    EXPECT_EQ((Counters{20, 0, 0, 0, 0}), ReadCounters(instance.get()));

    host_->Faults().Clear();
    host_->Faults().Fail(FaultPlan::Operation::ReadPropertyValue, 1, WBEM_E_NOT_FOUND);
    EXPECT_EQ(WBEM_E_NOT_FOUND, source->UpdateInstance(instance.get()));
    EXPECT_EQ(0, host_->Faults().Calls(FaultPlan::Operation::WriteDWORD));
}

TEST_F(DataSourceTest, CounterAccessRefusesIndexesOutsideTheTable)
{
    auto source = CPerfDataSource::Create();
    std::int32_t value = 0;
    EXPECT_EQ(WBEM_E_FAILED, source->SetCounter(0, 5, 1));
    EXPECT_EQ(WBEM_E_FAILED, source->SetCounter(0, -1, 1));
    EXPECT_EQ(WBEM_E_FAILED, source->SetCounter(1, 0, 1));
    EXPECT_EQ(WBEM_E_FAILED, source->GetCounter(0, 5, &value));
    EXPECT_EQ(WBEM_E_FAILED, source->GetCounter(0, 0, nullptr));
    EXPECT_EQ(0, source->SetCounter(0, 4, 42));
    EXPECT_EQ(0, source->GetCounter(0, 4, &value));
    EXPECT_EQ(42, value);

    InstanceEntry entry;
    entry.SetCounter(2, 7);
    entry.lock.Lock();
    const InstanceEntry copy(entry);
    EXPECT_EQ(7, copy.counters[2]);
    EXPECT_EQ(0, copy.lock.Count()) << "a copy has a lock of its own";
    entry.lock.Unlock();
}

TEST_F(DataSourceTest, PropertyHandleFailuresAreReturned)
{
    const struct {
        FaultPlan::Operation operation;
        int nth;
        HRESULT expected;
    } cases[] = {
        {FaultPlan::Operation::GetPropertyHandle, 1, Hr(WBEM_E_NOT_FOUND)},
        {FaultPlan::Operation::GetPropertyHandle, 5, Hr(WBEM_E_FAILED)},
    };
    for (const auto& c : cases) {
        host_->Faults().Clear();
        host_->Faults().Fail(c.operation, c.nth, c.expected);
        auto source = CPerfDataSource::Create();
        EXPECT_EQ(c.expected, source->Initialize(host_->ClassObject().get()));
        EXPECT_FALSE(source->HasPoller()) << "no poller without the handles";
    }
    auto source = CPerfDataSource::Create();
    EXPECT_EQ(WBEM_E_FAILED, source->LoadPropertyHandles(nullptr));
}

TEST_F(DataSourceTest, DestroyingStopsThePollerPromptly)
{
    auto source = NewSource();
    AwaitFullPoll(*source);
    const ULONGLONG before = ::GetTickCount64();
    source.reset();
    EXPECT_LT(::GetTickCount64() - before, 1500u);
    EXPECT_EQ(0, module::ThreadCount()) << "the poller has ended";
}

TEST(InstanceIndex, ParsesLikeASignedDecimal)
{
    const struct {
        const wchar_t* key;
        long index;
    } cases[] = {
        {L"0", 0}, {L"", 0}, {L" 0", 0}, {L"\t 12x", 12}, {L"abc", 0}, {L"-1", -1}, {L"+3", 3},
        {L"99999999999999999999", 2147483647L}, {nullptr, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.index, ParseInstanceIndex(c.key)) << (c.key ? "" : "null");
    }
}

}  // namespace
