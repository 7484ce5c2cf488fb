// The DLL entry point. The exports themselves live with the module state.

#include "WMIRouterClient/module.h"
#include "common/logger/log_entry_points.h"
#include "common/thread/symbol_engine.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH) {
        // The library's process-wide logger and thread registry are built at
        // load and go at unload; nothing in this DLL starts or configures the
        // logger, so what library code offers it is dropped.
        static_cast<void>(ProcessDebugLogger());
        // Likewise the symbol engine, which only a crash or hang dump would use.
        static_cast<void>(ProcessSymbolEngine());
        module::Attach(instance);
    }
    return TRUE;
}
