// The exports COM and registration tools call.

#include "WMIRouterClient/module.h"
#include "WMIRouterClient/perf_factory.h"

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (rclsid != CLSID_RouterPerfClient) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    const HRESULT hr = CreateComObject<CPerfFactory>(riid, ppv);
    return FAILED(hr) ? hr : S_OK;
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
