// Ends its process while a provider, a refresher and an enumerator of the
// shipped DLL are alive and the poller is running, as a WMI host does when it
// is stopped. "exit" calls ExitProcess from the main thread; "return" returns
// from main, so the runtime's exit handlers run first.

#include <windows.h>
#include <objbase.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <cstdio>
#include <cwchar>
#include <memory>

#include "tools/host/provider_module.h"
#include "tools/wmi_host/host.h"

int wmain(int argc, wchar_t** argv)
{
    const bool exitProcess = argc > 1 && std::wcscmp(argv[1], L"exit") == 0;
    // Left alive on purpose: nothing below is released before the process ends.
    auto* dll = new ProviderModule;
    if (!dll->Load(L"RouterPerfClient.dll")) {
        std::fputs("cannot load the DLL\n", stdout);
        return 2;
    }
    std::wstring error;
    auto host = wmihost::Host::FromMof(FileBesideProgram(L"RouterClientPerf.mof"),
                                       L"Win32_PerfRawData_Marrowfell_Router_Client", error);
    if (!host) {
        std::fputs("cannot read the class\n", stdout);
        return 2;
    }
    IClassFactory* factory = nullptr;
    IWbemProviderInit* init = nullptr;
    if (dll->GetClassObject(kRouterPerfClientClsid, IID_IClassFactory,
                            reinterpret_cast<void**>(&factory)) != S_OK ||
        factory->CreateInstance(nullptr, IID_IWbemProviderInit, reinterpret_cast<void**>(&init)) != S_OK) {
        std::fputs("cannot create the provider\n", stdout);
        return 2;
    }
    auto* sink = host->NewInitSink().release();
    wchar_t ns[] = L"root\\cimv2";
    IWbemHiPerfProvider* provider = nullptr;
    IWbemRefresher* refresher = nullptr;
    auto* enumerator = host->NewEnum().release();
    LONG id = -1;
    if (init->Initialize(nullptr, 0, ns, nullptr, host->Services(), nullptr, sink) != S_OK ||
        init->QueryInterface(IID_IWbemHiPerfProvider, reinterpret_cast<void**>(&provider)) != S_OK ||
        provider->CreateRefresher(host->Services(), 0, &refresher) != S_OK ||
        provider->CreateRefreshableEnum(host->Services(), L"x", refresher, 0, nullptr, enumerator, &id) != S_OK ||
        refresher->Refresh(0) != S_OK) {
        std::fputs("cannot refresh\n", stdout);
        return 2;
    }
    host.release();
    std::fputs("alive\n", stdout);
    std::fflush(stdout);
    if (exitProcess) {
        ::ExitProcess(0);
    }
    return 0;
}
