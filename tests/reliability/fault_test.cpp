// Failures injected on the WMI side, one call at a time: each provider method
// gives its answer and lets go of every reference it took.

#include <functional>
#include <string>

#include "WMIRouterClient/module.h"
#include "WMIRouterClient/process_globals.h"
#include "provider_fixture.h"

namespace {

using wmihost::FaultPlan;
using Op = FaultPlan::Operation;

constexpr const wchar_t* kClass = L"Win32_PerfRawData_Marrowfell_Router_Client";

class FaultTest : public ProviderTest {
protected:
    // Initialises a fresh provider and reports what its sink was told.
    HRESULT InitialiseAnswer(com_ptr<IWbemHiPerfProvider>& provider)
    {
        com_ptr<IClassFactory> factory;
        DllGetClassObject(CLSID_RouterPerfClient, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
        com_ptr<IWbemProviderInit> init;
        factory->CreateInstance(nullptr, IID_IWbemProviderInit, reinterpret_cast<void**>(init.put()));
        com_ptr<wmihost::InitSink> sink = host_->NewInitSink();
        wchar_t ns[] = L"root\\cimv2";
        const HRESULT returned = init->Initialize(nullptr, 0, ns, nullptr, Services(), nullptr, sink.get());
        provider = com_query<IWbemHiPerfProvider>(init.get());
        const auto statuses = sink->Statuses();
        return FAILED(returned) || statuses.empty() ? returned : statuses.back().first;
    }
};

TEST_F(FaultTest, EachMethodAnswersAnInjectedFailureAndKeepsNoReference)
{
    // What one call does once the fault is armed; its answer.
    using Call = std::function<HRESULT()>;
    const Call initialise = [this] {
        com_ptr<IWbemHiPerfProvider> provider;
        return InitialiseAnswer(provider);
    };
    const Call refreshAfterCreate = [this] {
        com_ptr<IWbemHiPerfProvider> provider = NewProvider();
        com_ptr<IWbemRefresher> refresher;
        EXPECT_EQ(S_OK, provider->CreateRefresher(Services(), 0, refresher.put()));
        return refresher->Refresh(0);
    };
    const Call refresh = [this] {
        com_ptr<IWbemHiPerfProvider> provider = NewProvider();
        com_ptr<IWbemRefresher> refresher = NewRefresher(provider.get());
        host_->Faults().Fail(Op::WriteDWORD, 1, WBEM_E_TYPE_MISMATCH);
        return refresher->Refresh(0);
    };
    const Call addEnumerator = [this] {
        com_ptr<IWbemHiPerfProvider> provider = NewProvider();
        com_ptr<IWbemRefresher> refresher = NewRefresher(provider.get());
        com_ptr<wmihost::HiPerfEnum> enumerator = host_->NewEnum();
        LONG id = -1;
        host_->Faults().Fail(Op::AddObjects, 1, WBEM_E_OUT_OF_MEMORY);
        return provider->CreateRefreshableEnum(Services(), kClass, refresher.get(), 0, nullptr,
                                               enumerator.get(), &id);
    };
    const Call query = [this] {
        com_ptr<IWbemHiPerfProvider> provider = NewProvider();
        com_ptr<wmihost::ObjectSink> sink = host_->NewObjectSink();
        wchar_t className[] = L"Win32_PerfRawData_Marrowfell_Router_Client";
        const HRESULT hr = provider->QueryInstances(Services(), className, 0, nullptr, sink.get());
        EXPECT_EQ(1u, sink->Statuses().size()) << "the query is completed in every case";
        return FAILED(hr) ? hr : static_cast<HRESULT>(sink->ObjectCount());
    };
    const Call getObjects = [this] {
        com_ptr<IWbemHiPerfProvider> provider = NewProvider();
        com_ptr<IWbemObjectAccess> instance = NewInstance(L"0");
        IWbemObjectAccess* objects[1] = {instance.get()};
        host_->Faults().Fail(Op::WriteDWORD, 3, WBEM_E_FAILED);
        return provider->GetObjects(Services(), 1, objects, 0, nullptr);
    };

    const struct {
        const char* what;
        Op operation;
        int nth;
        Call call;
        HRESULT expected;
    } cases[] = {
        {"Initialize, the class cannot be fetched", Op::GetObject, 1, initialise, Hr(WBEM_E_FAILED)},
        {"Initialize, a counter handle cannot be had", Op::GetPropertyHandle, 1, initialise, Hr(WBEM_S_INITIALIZED)},
        {"Initialize, the key handle cannot be had", Op::GetPropertyHandle, 6, initialise, Hr(WBEM_E_FAILED)},
        {"refresher without an instance", Op::SpawnInstance, 1, refreshAfterCreate, RPC_E_CALL_COMPLETE},
        {"refresher whose key cannot be written", Op::WritePropertyValue, 1, refreshAfterCreate, RPC_E_CALL_COMPLETE},
        {"Refresh, a counter cannot be written", Op::WriteDWORD, 0, refresh, Hr(WBEM_E_TYPE_MISMATCH)},
        {"CreateRefreshableEnum, the enumerator refuses", Op::AddObjects, 0, addEnumerator, Hr(WBEM_E_OUT_OF_MEMORY)},
        {"QueryInstances, no instance", Op::SpawnInstance, 1, query, 0},
        {"QueryInstances, the key cannot be written", Op::WritePropertyValue, 1, query, 1},
        {"QueryInstances, Indicate fails", Op::Indicate, 1, query, 0},
        {"GetObjects, the third counter cannot be written", Op::WriteDWORD, 0, getObjects, Hr(WBEM_E_FAILED)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        host_->Faults().Clear();
        g_nameKeyHandle.store(0);  // fetched anew by each provider that initialises
        if (c.nth > 0) {
            host_->Faults().Fail(c.operation, c.nth);
        }
        EXPECT_EQ(c.expected, c.call());
        host_->Faults().Clear();
        EXPECT_EQ(0, module::ObjectCount());
        EXPECT_EQ(liveAtStart_, host_->LiveObjects()) << "every host object taken was released";
    }
}

}  // namespace
