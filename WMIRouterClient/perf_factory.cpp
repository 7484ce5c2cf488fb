#include "perf_factory.h"

#include "WMIRouterClient/mf_perf_provider.h"
#include "WMIRouterClient/module.h"

STDMETHODIMP CPerfFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    const HRESULT hr = CreateComObject<MFPerfProvider>(riid, ppv);
    return FAILED(hr) ? hr : S_OK;
}

STDMETHODIMP CPerfFactory::LockServer(BOOL lock)
{
    module::LockServer(lock != FALSE);
    return S_OK;
}
