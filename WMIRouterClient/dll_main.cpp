// The DLL entry point. The exports themselves live with the module state.

#include "WMIRouterClient/module.h"

#if defined(__GLIBCXX__)
// The C++ runtime linked into this DLL keeps a reserve for exceptions thrown
// when memory is short, allocated from the process heap as the DLL loads and
// never given back; without this, every load and unload of the DLL would
// leave it behind.
namespace __gnu_cxx {
void __freeres() noexcept;
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        module::Attach(instance);
    }
#if defined(__GLIBCXX__)
    // Only when the DLL is freed: a process that is ending gives the heap
    // back as a whole. The globals' destructors run after this and throw
    // nothing.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        __gnu_cxx::__freeres();
    }
#else
    static_cast<void>(reserved);
#endif
    return TRUE;
}
