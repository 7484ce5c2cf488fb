#include "module.h"

#include <clocale>

#include "WMIRouterClient/perf_data_source.h"

const CLSID CLSID_RouterPerfClient = {
    0x72390812, 0xEE29, 0x4309, {0x9B, 0x19, 0xAC, 0xF1, 0x98, 0xDD, 0xB0, 0x69}};

namespace {
HINSTANCE g_module = nullptr;
volatile LONG g_objectCount = 0;
volatile LONG g_lockCount = 0;
volatile LONG g_threadCount = 0;
}  // namespace

namespace module {

HINSTANCE Handle() noexcept { return g_module; }

void Attach(HINSTANCE instance) noexcept
{
    _wsetlocale(LC_ALL, L"");
    g_module = instance;
}

LONG ObjectCount() noexcept { return g_objectCount; }
LONG LockCount() noexcept { return g_lockCount; }

void LockServer(bool lock) noexcept
{
    if (lock) {
        ::InterlockedIncrement(&g_lockCount);
    } else {
        ::InterlockedDecrement(&g_lockCount);
    }
}

void ThreadStarted() noexcept { ::InterlockedIncrement(&g_threadCount); }
void ThreadEnded() noexcept { ::InterlockedDecrement(&g_threadCount); }
LONG ThreadCount() noexcept { return g_threadCount; }

HRESULT CanUnloadNow() noexcept
{
    return (g_lockCount == 0 && g_objectCount == 0 && g_threadCount == 0) ? S_OK : S_FALSE;
}

CountedObject::CountedObject() noexcept { ::InterlockedIncrement(&g_objectCount); }

CountedObject::~CountedObject()
{
    if (::InterlockedDecrement(&g_objectCount) == 0) {
        CPerfDataSource::ReleaseProcessIfUnused();
    }
}

}  // namespace module
