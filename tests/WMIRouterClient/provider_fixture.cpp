#include "provider_fixture.h"

#include <objbase.h>

#include "WMIRouterClient/module.h"
#include "WMIRouterClient/perf_data_source.h"

Counters ReadCounters(IWbemObjectAccess* instance)
{
    static const wchar_t* const names[] = {L"bypass_rcvd_msg", L"bypass_sent_msg", L"dev_conns",
                                           L"work_queue_size", L"srv_conns"};
    Counters values = {};
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_TRUE(wmihost::Host::ReadDword(instance, names[i], values[i])) << names[i];
    }
    return values;
}

void ProviderTest::SetUp()
{
    std::wstring error;
    host_ = wmihost::Host::FromMof(FileBesideProgram(L"RouterClientPerf.mof"),
                                   L"Win32_PerfRawData_Marrowfell_Router_Client", error);
    ASSERT_TRUE(host_) << std::string(error.begin(), error.end());
    liveAtStart_ = host_->LiveObjects();
}

void ProviderTest::TearDown()
{
    // Whatever a test made, the provider let go of every host object and the
    // module of everything it counted.
    EXPECT_EQ(0, module::ObjectCount());
    EXPECT_EQ(nullptr, CPerfDataSource::Process());
    EXPECT_EQ(liveAtStart_, host_->LiveObjects()) << "a host object is still referenced";
    EXPECT_EQ(S_OK, DllCanUnloadNow());
}

com_ptr<IWbemHiPerfProvider> ProviderTest::NewProvider()
{
    com_ptr<IClassFactory> factory;
    EXPECT_EQ(S_OK, DllGetClassObject(CLSID_RouterPerfClient, IID_IClassFactory,
                                      reinterpret_cast<void**>(factory.put())));
    com_ptr<IWbemProviderInit> init;
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IWbemProviderInit,
                                            reinterpret_cast<void**>(init.put())));
    com_ptr<wmihost::InitSink> sink = host_->NewInitSink();
    wchar_t ns[] = L"root\\cimv2";
    EXPECT_EQ(S_OK, init->Initialize(nullptr, 0, ns, nullptr, Services(), nullptr, sink.get()));
    EXPECT_EQ(1u, sink->Statuses().size());
    return com_query<IWbemHiPerfProvider>(init.get());
}

com_ptr<IWbemRefresher> ProviderTest::NewRefresher(IWbemHiPerfProvider* provider)
{
    com_ptr<IWbemRefresher> refresher;
    EXPECT_EQ(S_OK, provider->CreateRefresher(Services(), 0, refresher.put()));
    return refresher;
}

com_ptr<IWbemObjectAccess> ProviderTest::NewInstance(const wchar_t* key)
{
    com_ptr<IWbemClassObject> spawned;
    EXPECT_EQ(S_OK, host_->ClassObject()->SpawnInstance(0, spawned.put()));
    com_ptr<IWbemObjectAccess> instance = com_query<IWbemObjectAccess>(spawned.get());
    if (key != nullptr && instance) {
        LONG handle = 0;
        EXPECT_EQ(S_OK, instance->GetPropertyHandle(L"Name", nullptr, &handle));
        const std::wstring text(key);
        EXPECT_EQ(S_OK, instance->WritePropertyValue(handle, static_cast<LONG>((text.size() + 1) * 2),
                                                     reinterpret_cast<const byte*>(text.c_str())));
    }
    return instance;
}
