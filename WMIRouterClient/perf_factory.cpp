#include "perf_factory.h"

#include "WMIRouterClient/mf_perf_provider.h"
#include "WMIRouterClient/module.h"

#include <new>

STDMETHODIMP CPerfFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    auto* provider = new (std::nothrow) MFPerfProvider;
    if (provider == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = provider->QueryInterface(riid, ppv);
    if (FAILED(hr)) {
        delete provider;  // never referenced: its count is still 0
        return hr;
    }
    return S_OK;
}

STDMETHODIMP CPerfFactory::LockServer(BOOL lock)
{
    module::LockServer(lock != FALSE);
    return S_OK;
}
