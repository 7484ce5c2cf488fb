// The DLL entry point. The exports themselves live with the module state.

#include "WMIRouterClient/module.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH) {
        module::Attach(instance);
    }
    return TRUE;
}
