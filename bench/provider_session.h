#pragma once

// The provider DLL driven as WMI drives it, through the WMI stand-in: loaded
// by path from beside the program, made by its class factory, initialised on
// root\cimv2, with as many refreshers (each holding one enumerator for the
// class) as a measurement needs.

#include <windows.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <memory>
#include <string>

#include "common/util/unique_resource.h"
#include "tools/host/provider_module.h"
#include "tools/wmi_host/host.h"

namespace bench {

constexpr const wchar_t kCounterClass[] = L"Win32_PerfRawData_Marrowfell_Router_Client";

// The WMI side for the class, from the class definition beside the program.
// One serves every session of a process, as one WMI serves every load.
std::unique_ptr<wmihost::Host> NewHost(std::wstring& error);

struct RefresherSlot {
    com_ptr<IWbemRefresher> refresher;
    com_ptr<wmihost::HiPerfEnum> enumerator;
    // The instance the enumerator holds: what a client reads after Refresh.
    com_ptr<IWbemObjectAccess> instance;
    LONG enumId = -1;
};

class ProviderSession {
public:
    explicit ProviderSession(wmihost::Host& host) : host_(host) {}
    ~ProviderSession() { Close(); }
    ProviderSession(const ProviderSession&) = delete;
    ProviderSession& operator=(const ProviderSession&) = delete;

    // LoadLibrary, DllGetClassObject, the factory's provider, Initialize.
    bool Load(std::wstring& error);
    bool Initialize(std::wstring& error);
    bool Open(std::wstring& error) { return Load(error) && Initialize(error); }

    // CreateRefresher, then CreateRefreshableEnum on it.
    bool AddRefresher(RefresherSlot& slot, std::wstring& error);
    // StopRefreshing, then every reference released.
    void RemoveRefresher(RefresherSlot& slot);

    // Releases the provider; the DLL stays loaded.
    void Release() { provider_.reset(); }
    HRESULT CanUnloadNow() const { return dll_.CanUnloadNow(); }
    // FreeLibrary.
    void Unload() { dll_.Unload(); }
    void Close();

    IWbemHiPerfProvider* Provider() const { return provider_.get(); }

private:
    wmihost::Host& host_;
    ProviderModule dll_;
    com_ptr<IClassFactory> factory_;
    com_ptr<IWbemProviderInit> init_;
    com_ptr<IWbemHiPerfProvider> provider_;
};

// srv_conns of a refreshed instance; 0 when it cannot be read.
DWORD ReadSrvConns(IWbemObjectAccess* instance);

std::wstring HexResult(HRESULT hr);

}  // namespace bench
