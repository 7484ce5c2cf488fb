#include "stand_in_factory.h"

#include "stand_in_mof_compiler.h"

namespace {
volatile LONG g_locks = 0;
}  // namespace

LONG StandInFactory::Locks() noexcept { return g_locks; }

STDMETHODIMP StandInFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    const HRESULT hr = CreateComObject<StandInMofCompiler>(riid, ppv);
    return FAILED(hr) ? hr : S_OK;
}

STDMETHODIMP StandInFactory::LockServer(BOOL lock)
{
    if (lock != FALSE) {
        ::InterlockedIncrement(&g_locks);
    } else {
        ::InterlockedDecrement(&g_locks);
    }
    return S_OK;
}
