// The exports COM and registration tools call.

#include "WMIRouterClient/module.h"
#include "WMIRouterClient/perf_factory.h"
#include "kov_wmi/com_registration.h"

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

// Neither export passes a callback: registration tools show only the result.
STDAPI DllRegisterServer()
{
    return kov_wmi::RegisterCOM(CLSID_RouterPerfClient, module::Handle(), L"Marrowfell Router Client",
                                L"Marrowfell.Router.Client.1", L"Marrowfell.Router.Client", nullptr)
               ? S_OK
               : E_FAIL;
}

STDAPI DllUnregisterServer()
{
    return kov_wmi::UnregisterCOM(CLSID_RouterPerfClient, nullptr) ? S_OK : E_FAIL;
}
