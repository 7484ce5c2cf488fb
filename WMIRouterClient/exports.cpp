// The exports COM and registration tools call.

#include "WMIRouterClient/module.h"
#include "WMIRouterClient/perf_factory.h"

#include <new>

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (rclsid != CLSID_RouterPerfClient) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    auto* factory = new (std::nothrow) CPerfFactory;
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    if (FAILED(hr)) {
        delete factory;  // never referenced: its count is still 0
        return hr;
    }
    return S_OK;
}

STDAPI DllCanUnloadNow()
{
    return module::CanUnloadNow();
}

// Self-registration is not available in this build.
STDAPI DllRegisterServer()
{
    return E_FAIL;
}

STDAPI DllUnregisterServer()
{
    return E_FAIL;
}
