// The provider under load from every side at once, with a router publishing
// at 1 kHz in another process: no torn or backward sample, no hang, no leak.

#include <atomic>
#include <thread>
#include <vector>

#include "WMIRouterClient/module.h"
#include "child_process.h"
#include "process_census.h"
#include "wait_until.h"
#include "provider_fixture.h"

namespace {

constexpr const wchar_t* kClass = L"Win32_PerfRawData_Marrowfell_Router_Client";

struct LoadResults {
    std::atomic<bool> stop{false};
    std::atomic<long> samples{0};
    std::atomic<long> tornSamples{0};
    std::atomic<long> backwards{0};
    std::atomic<long> failedCalls{0};
    std::atomic<long> churnCycles{0};
    DWORD firstSeen = 0;
    DWORD lastSeen = 0;
};

bool Whole(const Counters& values)
{
    for (DWORD value : values) {
        if (value != values[0]) {
            return false;
        }
    }
    return true;
}

class LoadTest : public ProviderTest {
protected:
    // Four refreshing threads, one that creates and releases refreshers,
    // objects and enumerators, one that queries, for `milliseconds`.
    void RunLoad(unsigned milliseconds, LoadResults& results)
    {
        // A host of its own for the round, gone before any census: its locks
        // may create their wait objects at first contention.
        std::wstring error;
        auto fixtureHost = std::move(host_);
        host_ = wmihost::Host::FromMof(FileBesideProgram(L"RouterClientPerf.mof"), kClass, error);
        ASSERT_TRUE(host_);
        const long hostStart = host_->LiveObjects();
        RunRound(milliseconds, results);
        EXPECT_EQ(hostStart, host_->LiveObjects()) << "every host object the provider took was released";
        host_ = std::move(fixtureHost);
    }

    void RunRound(unsigned milliseconds, LoadResults& results)
    {
        com_ptr<IWbemHiPerfProvider> provider = NewProvider();
        // The block is opened by a refresher's construction.
        com_ptr<IWbemRefresher> opener = NewRefresher(provider.get());
        com_ptr<IWbemObjectAccess> probe = NewInstance(L"0");
        IWbemObjectAccess* objects[1] = {probe.get()};
        ASSERT_TRUE(WaitUntil([&] {
            provider->GetObjects(Services(), 1, objects, 0, nullptr);
            return (results.firstSeen = ReadCounters(probe.get())[0]) != 0;
        }, 10000));
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([&] { Refresher(provider.get(), results); });
        }
        threads.emplace_back([&] { Churn(provider.get(), results); });
        threads.emplace_back([&] { Query(provider.get(), results); });
        const ULONGLONG end = ::GetTickCount64() + milliseconds;
        while (::GetTickCount64() < end) {
            ::Sleep(20);
        }
        results.stop = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
        provider->GetObjects(Services(), 1, objects, 0, nullptr);
        results.lastSeen = ReadCounters(probe.get())[0];
    }

    void Refresher(IWbemHiPerfProvider* provider, LoadResults& results)
    {
        com_ptr<IWbemRefresher> refresher;
        com_ptr<wmihost::HiPerfEnum> enumerator = host_->NewEnum();
        LONG id = -1;
        if (FAILED(provider->CreateRefresher(Services(), 0, refresher.put())) ||
            FAILED(provider->CreateRefreshableEnum(Services(), kClass, refresher.get(), 0, nullptr,
                                                   enumerator.get(), &id))) {
            ++results.failedCalls;
            return;
        }
        com_ptr<IWbemObjectAccess> instance = std::move(enumerator->Objects().front().second);
        DWORD last = 0;
        while (!results.stop) {
            if (FAILED(refresher->Refresh(0))) {
                ++results.failedCalls;
                continue;
            }
            const Counters values = ReadCounters(instance.get());
            ++results.samples;
            results.tornSamples += Whole(values) ? 0 : 1;
            results.backwards += values[0] < last ? 1 : 0;
            last = values[0];
        }
        provider->StopRefreshing(refresher.get(), id, 0);
    }

    void Churn(IWbemHiPerfProvider* provider, LoadResults& results)
    {
        com_ptr<IWbemObjectAccess> templ = NewInstance(L"0");
        while (!results.stop) {
            com_ptr<IWbemRefresher> refresher;
            com_ptr<IWbemObjectAccess> object;
            com_ptr<wmihost::HiPerfEnum> enumerator = host_->NewEnum();
            LONG objectId = -1;
            LONG enumId = -1;
            if (FAILED(provider->CreateRefresher(Services(), 0, refresher.put())) ||
                FAILED(provider->CreateRefreshableObject(Services(), templ.get(), refresher.get(), 0, nullptr,
                                                         object.put(), &objectId)) ||
                FAILED(provider->CreateRefreshableEnum(Services(), kClass, refresher.get(), 0, nullptr,
                                                       enumerator.get(), &enumId)) ||
                FAILED(provider->StopRefreshing(refresher.get(), objectId, 0)) ||
                FAILED(provider->StopRefreshing(refresher.get(), enumId, 0))) {
                ++results.failedCalls;
            }
            ++results.churnCycles;
        }
    }

    void Query(IWbemHiPerfProvider* provider, LoadResults& results)
    {
        com_ptr<IWbemObjectAccess> first = NewInstance(L"0");
        com_ptr<IWbemObjectAccess> second = NewInstance(L"0");
        wchar_t className[] = L"Win32_PerfRawData_Marrowfell_Router_Client";
        while (!results.stop) {
            IWbemObjectAccess* objects[2] = {first.get(), second.get()};
            if (FAILED(provider->GetObjects(Services(), 2, objects, 0, nullptr))) {
                ++results.failedCalls;
            }
            results.tornSamples += Whole(ReadCounters(first.get())) && Whole(ReadCounters(second.get())) ? 0 : 1;
            com_ptr<wmihost::ObjectSink> sink = host_->NewObjectSink();
            if (FAILED(provider->QueryInstances(Services(), className, 0, nullptr, sink.get())) ||
                sink->ObjectCount() != 1) {
                ++results.failedCalls;
                continue;
            }
            com_ptr<IWbemObjectAccess> indicated = com_query<IWbemObjectAccess>(sink->Objects()[0].get());
            results.tornSamples += Whole(ReadCounters(indicated.get())) ? 0 : 1;
        }
    }
};

TEST_F(LoadTest, EverySampleIsWholeAndNothingIsLeftBehind)
{
    ChildProcess router;
    ASSERT_TRUE(StartRouterSim(router, L"--pattern same --rate 1000 --duration 0")) << router.Output();
    // A short first round pays every first-use cost (the block stays mapped
    // by the process-wide block object once opened, the runtime's thread
    // support starts up): the census starts from what it leaves.
    LoadResults warmUp;
    RunLoad(300, warmUp);
    const ProcessCensus before = ProcessCensus::Take();

    LoadResults results;
    RunLoad(3000, results);
    EXPECT_EQ(0, results.tornSamples.load());
    EXPECT_EQ(0, results.backwards.load());
    EXPECT_EQ(0, results.failedCalls.load());
    EXPECT_GT(results.samples.load(), 1000);
    EXPECT_GT(results.churnCycles.load(), 10);
    EXPECT_GT(results.lastSeen, results.firstSeen + 20) << "the samples moved on during the run";
    EXPECT_EQ(0, module::ObjectCount());
    // Wine lets go of what the exited threads held shortly after they end.
    ProcessCensus after;
    WaitUntil([&] { return (after = ProcessCensus::Take()) == before; }, 5000);
    EXPECT_EQ(before, after);
}

}  // namespace
