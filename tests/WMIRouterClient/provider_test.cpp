// The provider object's own methods: initialisation, instance queries,
// GetObjects, and what it answers for arguments it cannot use.

#include <objbase.h>

#include "WMIRouterClient/module.h"
#include "WMIRouterClient/perf_data_source.h"
#include "WMIRouterClient/process_globals.h"
#include "provider_fixture.h"

namespace {

using wmihost::FaultPlan;

com_ptr<IWbemProviderInit> NewUninitialisedProvider()
{
    com_ptr<IClassFactory> factory;
    EXPECT_EQ(S_OK, DllGetClassObject(CLSID_RouterPerfClient, IID_IClassFactory,
                                      reinterpret_cast<void**>(factory.put())));
    com_ptr<IWbemProviderInit> init;
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IWbemProviderInit, reinterpret_cast<void**>(init.put())));
    return init;
}

wchar_t g_namespace[] = L"root\\cimv2";
wchar_t g_emptyNamespace[] = L"";

TEST_F(ProviderTest, InitialisationAnswersThroughTheSink)
{
    const struct {
        const char* what;
        wchar_t* ns;
        bool services;
        bool sink;
        FaultPlan::Operation fault;
        int nth;
        HRESULT returned;
        std::vector<std::pair<LONG, LONG>> statuses;
    } cases[] = {
        {"success", g_namespace, true, true, FaultPlan::Operation::SetStatus, -1, S_OK, {{Hr(WBEM_S_INITIALIZED), 0}}},
        {"no namespace text", nullptr, true, true, FaultPlan::Operation::SetStatus, -1, S_OK, {{Hr(WBEM_E_FAILED), 0}}},
        {"no namespace", g_namespace, false, true, FaultPlan::Operation::SetStatus, -1, S_OK, {{Hr(WBEM_E_FAILED), 0}}},
        {"no sink", g_namespace, true, false, FaultPlan::Operation::SetStatus, -1, S_OK, {}},
        {"empty namespace", g_emptyNamespace, true, true, FaultPlan::Operation::SetStatus, -1,
         Hr(WBEM_E_INVALID_NAMESPACE), {}},
        {"no class", g_namespace, true, true, FaultPlan::Operation::GetObject, 1, S_OK, {{Hr(WBEM_E_FAILED), 0}}},
        {"no key handle", g_namespace, true, true, FaultPlan::Operation::GetPropertyHandle, 6, S_OK,
         {{Hr(WBEM_E_FAILED), 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        host_->Faults().Clear();
        if (c.nth >= 0) {
            host_->Faults().Fail(c.fault, c.nth);
        }
        g_nameKeyHandle.store(0);
        com_ptr<IWbemProviderInit> provider = NewUninitialisedProvider();
        com_ptr<wmihost::InitSink> sink = host_->NewInitSink();
        EXPECT_EQ(c.returned, provider->Initialize(nullptr, 0, c.ns, nullptr,
                                                   c.services ? Services() : nullptr, nullptr,
                                                   c.sink ? sink.get() : nullptr));
        EXPECT_EQ(c.statuses, sink->Statuses());
        const bool reachedTheClass = c.returned == S_OK && c.sink && c.ns && c.services &&
                                     !(c.fault == FaultPlan::Operation::GetObject && c.nth == 1);
        EXPECT_EQ(reachedTheClass, CPerfDataSource::Process() != nullptr);
    }
}

TEST_F(ProviderTest, ProvidersShareOneDataSourceAndKeyHandle)
{
    com_ptr<IWbemHiPerfProvider> first = NewProvider();
    CPerfDataSource* source = CPerfDataSource::Process();
    ASSERT_NE(nullptr, source);
    const LONG key = g_nameKeyHandle.load();
    EXPECT_NE(0, key);
    const int handleCalls = host_->Faults().Calls(FaultPlan::Operation::GetPropertyHandle);
    com_ptr<IWbemHiPerfProvider> second = NewProvider();
    EXPECT_EQ(source, CPerfDataSource::Process());
    EXPECT_EQ(key, g_nameKeyHandle.load());
    EXPECT_EQ(handleCalls, host_->Faults().Calls(FaultPlan::Operation::GetPropertyHandle));
    EXPECT_EQ(1, module::ThreadCount()) << "one poller";
    first.reset();
    EXPECT_EQ(source, CPerfDataSource::Process()) << "still in use by the second";
}

TEST_F(ProviderTest, QueryInstancesIndicatesInstanceZeroForAnyClassName)
{
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    for (const wchar_t* name : {L"Win32_PerfRawData_Marrowfell_Router_Client", L"SomethingElse"}) {
        com_ptr<wmihost::ObjectSink> sink = host_->NewObjectSink();
        std::wstring className(name);
        EXPECT_EQ(S_OK, provider->QueryInstances(Services(), &className[0], 0, nullptr, sink.get()));
        const auto objects = sink->Objects();
        ASSERT_EQ(1u, objects.size());
        com_ptr<IWbemObjectAccess> instance = com_query<IWbemObjectAccess>(objects[0].get());
        std::wstring key;
        EXPECT_TRUE(wmihost::Host::ReadString(instance.get(), L"Name", key));
        EXPECT_EQ(L"0", key);
        EXPECT_EQ((std::vector<std::pair<LONG, HRESULT>>{{WBEM_STATUS_COMPLETE, S_OK}}), sink->Statuses());
    }
}

TEST_F(ProviderTest, QueryInstancesCompletesEvenWhenNoInstanceCanBeMade)
{
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    const FaultPlan::Operation faults[] = {FaultPlan::Operation::SpawnInstance,
                                           FaultPlan::Operation::WriteDWORD};
    for (FaultPlan::Operation fault : faults) {
        host_->Faults().Clear();
        host_->Faults().Fail(fault, 1);
        com_ptr<wmihost::ObjectSink> sink = host_->NewObjectSink();
        wchar_t className[] = L"Win32_PerfRawData_Marrowfell_Router_Client";
        EXPECT_EQ(S_OK, provider->QueryInstances(Services(), className, 0, nullptr, sink.get()));
        EXPECT_EQ(0u, sink->ObjectCount());
        EXPECT_EQ((std::vector<std::pair<LONG, HRESULT>>{{WBEM_STATUS_COMPLETE, S_OK}}), sink->Statuses());
    }
    com_ptr<wmihost::ObjectSink> sink = host_->NewObjectSink();
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, provider->QueryInstances(Services(), nullptr, 0, nullptr, sink.get()));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, provider->QueryInstances(nullptr, g_namespace, 0, nullptr, sink.get()));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, provider->QueryInstances(Services(), g_namespace, 0, nullptr, nullptr));
    EXPECT_TRUE(sink->Statuses().empty());
}

TEST_F(ProviderTest, QueryInstancesWithoutAClassObjectCompletesEmpty)
{
    com_ptr<IWbemProviderInit> init = NewUninitialisedProvider();
    com_ptr<IWbemHiPerfProvider> provider = com_query<IWbemHiPerfProvider>(init.get());
    com_ptr<wmihost::ObjectSink> sink = host_->NewObjectSink();
    wchar_t className[] = L"Win32_PerfRawData_Marrowfell_Router_Client";
    EXPECT_EQ(S_OK, provider->QueryInstances(Services(), className, 0, nullptr, sink.get()));
    EXPECT_EQ(0u, sink->ObjectCount());
    EXPECT_EQ(1u, sink->Statuses().size());
}

TEST_F(ProviderTest, GetObjectsUpdatesEachObjectFromOneSample)
{
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    CPerfDataSource* source = CPerfDataSource::Process();
    for (int i = 0; i < kCounterCount; ++i) {
        source->SetCounter(0, i, 100 + i);
    }
    com_ptr<IWbemObjectAccess> instances[3] = {NewInstance(L"0"), NewInstance(L"0"), NewInstance(L"0")};
    IWbemObjectAccess* objects[3] = {instances[0].get(), instances[1].get(), instances[2].get()};
    EXPECT_EQ(S_OK, provider->GetObjects(Services(), 3, objects, 0, nullptr));
    for (auto& instance : instances) {
        EXPECT_EQ((Counters{100, 101, 102, 103, 104}), ReadCounters(instance.get()));
    }
    EXPECT_EQ(RPC_E_CALL_COMPLETE, provider->GetObjects(Services(), 0, objects, 0, nullptr));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, provider->GetObjects(Services(), -1, objects, 0, nullptr));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, provider->GetObjects(nullptr, 3, objects, 0, nullptr));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, provider->GetObjects(Services(), 3, nullptr, 0, nullptr));

    com_ptr<IWbemObjectAccess> other = NewInstance(L"1");
    IWbemObjectAccess* mixed[2] = {other.get(), instances[0].get()};
    EXPECT_EQ(WBEM_E_NOT_FOUND, provider->GetObjects(Services(), 2, mixed, 0, nullptr));
}

TEST_F(ProviderTest, GetObjectsWithoutADataSourceIsInvalid)
{
    com_ptr<IWbemProviderInit> init = NewUninitialisedProvider();
    com_ptr<IWbemHiPerfProvider> provider = com_query<IWbemHiPerfProvider>(init.get());
    com_ptr<IWbemObjectAccess> instance = NewInstance(L"0");
    IWbemObjectAccess* objects[1] = {instance.get()};
    EXPECT_EQ(WBEM_E_INVALID_OBJECT, provider->GetObjects(Services(), 1, objects, 0, nullptr));
}

// A refresher of some other origin, never to be treated as one of ours.
class ForeignRefresher final : public ComObject<IWbemRefresher> {
public:
    STDMETHODIMP Refresh(LONG) override { return S_OK; }
};

TEST_F(ProviderTest, RefreshersOfAnotherOriginAndNullArgumentsAreRefused)
{
    com_ptr<IWbemHiPerfProvider> provider = NewProvider();
    com_ptr<IWbemRefresher> foreign;
    ASSERT_EQ(S_OK, CreateComObject<ForeignRefresher>(IID_IWbemRefresher, reinterpret_cast<void**>(foreign.put())));
    com_ptr<IWbemObjectAccess> templ = NewInstance(L"0");
    com_ptr<wmihost::HiPerfEnum> enumerator = host_->NewEnum();
    com_ptr<IWbemObjectAccess> object;
    LONG id = -1;
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, provider->CreateRefreshableObject(Services(), templ.get(), foreign.get(),
                                                                          0, nullptr, object.put(), &id));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, provider->CreateRefreshableEnum(Services(), L"x", foreign.get(), 0,
                                                                        nullptr, enumerator.get(), &id));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, provider->StopRefreshing(foreign.get(), 0, 0));

    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, provider->CreateRefreshableObject(Services(), templ.get(), nullptr, 0,
                                                                          nullptr, object.put(), &id));
    EXPECT_EQ(WBEM_E_FAILED, provider->CreateRefreshableEnum(Services(), L"x", nullptr, 0, nullptr,
                                                             enumerator.get(), &id));
    EXPECT_EQ(WBEM_E_FAILED, provider->StopRefreshing(nullptr, 0, 0));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, provider->CreateRefresher(nullptr, 0, nullptr));
    EXPECT_EQ(-1, id);
    EXPECT_TRUE(enumerator->Objects().empty());
}

TEST_F(ProviderTest, AnswersForItsTwoInterfacesOnly)
{
    com_ptr<IWbemProviderInit> init = NewUninitialisedProvider();
    com_ptr<IWbemHiPerfProvider> hiPerf = com_query<IWbemHiPerfProvider>(init.get());
    ASSERT_TRUE(hiPerf);
    com_ptr<IUnknown> unknown = com_query<IUnknown>(hiPerf.get());
    EXPECT_EQ(static_cast<IUnknown*>(init.get()), unknown.get()) << "one identity";
    HRESULT hr = S_OK;
    EXPECT_FALSE(com_query<IWbemRefresher>(init.get(), &hr));
    EXPECT_EQ(E_NOINTERFACE, hr);
}

}  // namespace
