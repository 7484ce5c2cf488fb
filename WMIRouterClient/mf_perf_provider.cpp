#include "mf_perf_provider.h"

#include <oleauto.h>

#include <new>

#include "WMIRouterClient/client_check.h"
#include "WMIRouterClient/perf_data_source.h"
#include "WMIRouterClient/process_globals.h"
#include "WMIRouterClient/refresher.h"

const wchar_t kRouterCounterClass[] = L"Win32_PerfRawData_Marrowfell_Router_Client";

namespace {

// A BSTR released by its owner.
struct bstr_traits {
    using type = BSTR;
    static type none() noexcept { return nullptr; }
    static void close(type b) noexcept { ::SysFreeString(b); }
};
using unique_bstr = unique_resource<bstr_traits>;

// The refresher a method was handed, once the client may go on: null with
// `result` set when the client is refused, no refresher was given (the
// method's own answer for that) or it is not one of this module's.
CRefresher* OurRefresher(IWbemRefresher* refresher, HRESULT whenNull, HRESULT& result)
{
    HRESULT impersonation = S_OK;
    result = CheckClient(impersonation);
    if (result != S_OK) {
        return nullptr;
    }
    if (refresher == nullptr) {
        result = whenNull;
        return nullptr;
    }
    CRefresher* ours = CRefresher::FromInterface(refresher);
    result = ours != nullptr ? S_OK : static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER);
    return ours;
}

}  // namespace

STDMETHODIMP MFPerfProvider::Initialize(LPWSTR /*user*/, LONG /*flags*/, LPWSTR namespaceName,
                                        LPWSTR /*locale*/, IWbemServices* services,
                                        IWbemContext* context, IWbemProviderInitSink* initSink)
{
    try {
        if (namespaceName == nullptr || services == nullptr) {
            if (initSink != nullptr) {
                initSink->SetStatus(WBEM_E_FAILED, 0);
            }
            return 0;
        }
        if (initSink == nullptr) {
            return 0;
        }
        if (namespaceName[0] == L'\0') {
            return WBEM_E_INVALID_NAMESPACE;
        }
        return InitializeClass(services, context, initSink);
    } catch (...) {
        return WBEM_E_FAILED;
    }
}

HRESULT MFPerfProvider::InitializeClass(IWbemServices* services, IWbemContext* context,
                                        IWbemProviderInitSink* initSink)
{
    {
        unique_bstr className(::SysAllocString(kRouterCounterClass));
        if (!className) {
            initSink->SetStatus(WBEM_E_OUT_OF_MEMORY, 0);
            return 0;
        }
        if (FAILED(services->GetObject(className.get(), 0, context, classObject_.put(), nullptr))) {
            initSink->SetStatus(WBEM_E_FAILED, 0);
            return 0;
        }
    }
    if (CPerfDataSource::AcquireProcess(classObject_.get()) == nullptr) {
        initSink->SetStatus(WBEM_E_FAILED, 0);
        return 0;
    }
    if (g_nameKeyHandle.load() == 0) {
        HRESULT hr = S_OK;
        com_ptr<IWbemObjectAccess> access = com_query<IWbemObjectAccess>(classObject_.get(), &hr);
        if (FAILED(hr)) {
            return hr;
        }
        unique_bstr keyName(::SysAllocString(L"Name"));
        if (!keyName) {
            initSink->SetStatus(WBEM_E_OUT_OF_MEMORY, 0);
            return 0;
        }
        LONG handle = 0;
        if (!access || FAILED(access->GetPropertyHandle(keyName.get(), nullptr, &handle))) {
            initSink->SetStatus(WBEM_E_FAILED, 0);
            return 0;
        }
        g_nameKeyHandle.store(handle);
    }
    initSink->SetStatus(WBEM_S_INITIALIZED, 0);
    return 0;
}

STDMETHODIMP MFPerfProvider::QueryInstances(IWbemServices* services, WCHAR* className, LONG /*flags*/,
                                            IWbemContext* /*context*/, IWbemObjectSink* sink)
{
    HRESULT impersonation = S_OK;
    const HRESULT allowed = CheckClient(impersonation);
    if (allowed != S_OK) {
        return allowed;
    }
    if (services == nullptr || className == nullptr || sink == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    try {
        // Without a class object (Initialize did not fetch it) there is no
        // instance to build: the query completes empty.
        IWbemClassObject* rawInstance = nullptr;
        if (classObject_ && SUCCEEDED(classObject_->SpawnInstance(0, &rawInstance)) && rawInstance) {
            com_ptr<IWbemClassObject> instance(rawInstance);
            if (com_ptr<IWbemObjectAccess> access = com_query<IWbemObjectAccess>(instance.get())) {
                const wchar_t key[] = L"0";
                // Its result is not needed: UpdateInstance reads the key back.
                access->WritePropertyValue(g_nameKeyHandle.load(), sizeof(key),
                                           reinterpret_cast<const byte*>(key));
                CPerfDataSource* source = CPerfDataSource::Process();
                const HRESULT updated =
                    source != nullptr ? source->UpdateInstance(access.get()) : static_cast<HRESULT>(WBEM_E_INVALID_OBJECT);
                access.reset();
                if (SUCCEEDED(updated)) {
                    IWbemClassObject* indicated[1] = {instance.get()};
                    sink->Indicate(1, indicated);
                }
            }
        }
    } catch (...) {
        // The query still completes below.
    }
    sink->SetStatus(WBEM_STATUS_COMPLETE, 0, nullptr, nullptr);
    return 0;
}

STDMETHODIMP MFPerfProvider::CreateRefresher(IWbemServices* services, LONG /*flags*/,
                                             IWbemRefresher** refresher)
{
    HRESULT impersonation = S_OK;
    const HRESULT allowed = CheckClient(impersonation);
    if (allowed != S_OK) {
        return allowed;
    }
    if (services == nullptr || refresher == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    auto* created = new (std::nothrow)
        CRefresher(static_cast<IWbemHiPerfProvider*>(this), CPerfDataSource::Process());
    if (created == nullptr) {
        return WBEM_E_OUT_OF_MEMORY;
    }
    created->AddRef();
    // Its result is not needed: a refresher without an instance refreshes nothing.
    created->Initialize(classObject_.get());
    *refresher = created;
    return 0;
}

STDMETHODIMP MFPerfProvider::CreateRefreshableObject(IWbemServices* services,
                                                     IWbemObjectAccess* objectTemplate,
                                                     IWbemRefresher* refresher, LONG /*flags*/,
                                                     IWbemContext* /*context*/,
                                                     IWbemObjectAccess** refreshable, LONG* id)
{
    HRESULT result = S_OK;
    CRefresher* ours = OurRefresher(refresher, WBEM_E_INVALID_PARAMETER, result);
    if (ours == nullptr) {
        return result;
    }
    if (services == nullptr || objectTemplate == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    const HRESULT hr = ours->AddObject(objectTemplate, refreshable, id);
    return FAILED(hr) ? hr : 0;
}

STDMETHODIMP MFPerfProvider::StopRefreshing(IWbemRefresher* refresher, LONG id, LONG /*flags*/)
{
    HRESULT result = S_OK;
    CRefresher* ours = OurRefresher(refresher, WBEM_E_FAILED, result);
    if (ours == nullptr) {
        return result;
    }
    return id >= CRefresher::kFirstObjectId ? ours->RemoveObject(id) : ours->RemoveEnum(id);
}

STDMETHODIMP MFPerfProvider::CreateRefreshableEnum(IWbemServices* /*services*/, LPCWSTR /*className*/,
                                                   IWbemRefresher* refresher, LONG /*flags*/,
                                                   IWbemContext* /*context*/,
                                                   IWbemHiPerfEnum* enumerator, LONG* id)
{
    HRESULT result = S_OK;
    CRefresher* ours = OurRefresher(refresher, WBEM_E_FAILED, result);
    if (ours == nullptr) {
        return result;
    }
    return ours->AddEnum(enumerator, id);
}

STDMETHODIMP MFPerfProvider::GetObjects(IWbemServices* services, LONG count, IWbemObjectAccess** objects,
                                        LONG /*flags*/, IWbemContext* /*context*/)
{
    if (count < 0 || services == nullptr || objects == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    HRESULT impersonation = S_OK;
    const HRESULT allowed = CheckClient(impersonation);
    if (allowed != S_OK) {
        return allowed;
    }
    CPerfDataSource* source = CPerfDataSource::Process();
    if (source == nullptr) {
        return WBEM_E_INVALID_OBJECT;
    }
    if (count == 0) {
        return impersonation;
    }
    HRESULT result = S_OK;
    for (LONG i = 0; i < count; ++i) {
        result = source->UpdateInstance(objects[i]);
        if (FAILED(result)) {
            break;
        }
    }
    return result;
}
