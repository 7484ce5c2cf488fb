// A library that, like some third-party ones, makes its own filter the
// process's unhandled-exception filter as soon as it is loaded.

#include <windows.h>

namespace {

LONG WINAPI LibraryFilter(EXCEPTION_POINTERS* /*pointers*/)
{
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

// Lets the test recognise the filter this library installs.
extern "C" __declspec(dllexport) void* CrashFilterLibraryFilter()
{
    return reinterpret_cast<void*>(&LibraryFilter);
}

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH) {
        static_cast<void>(::SetUnhandledExceptionFilter(&LibraryFilter));
    }
    return TRUE;
}
