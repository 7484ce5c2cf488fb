#pragma once

// The high-performance provider object WMI creates through the class
// factory. A counted object: while one exists the module stays loaded.

#include <windows.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include "WMIRouterClient/module.h"
#include "common/util/com_object.h"
#include "common/util/unique_resource.h"

// "Win32_PerfRawData_Marrowfell_Router_Client"
extern const wchar_t kRouterCounterClass[];

class MFPerfProvider final : public ComObject<IWbemProviderInit, IWbemHiPerfProvider> {
public:
    MFPerfProvider() = default;

    // IWbemProviderInit
    STDMETHODIMP Initialize(LPWSTR user, LONG flags, LPWSTR namespaceName, LPWSTR locale,
                            IWbemServices* services, IWbemContext* context,
                            IWbemProviderInitSink* initSink) override;

    // IWbemHiPerfProvider
    STDMETHODIMP QueryInstances(IWbemServices* services, WCHAR* className, LONG flags,
                                IWbemContext* context, IWbemObjectSink* sink) override;
    STDMETHODIMP CreateRefresher(IWbemServices* services, LONG flags,
                                 IWbemRefresher** refresher) override;
    STDMETHODIMP CreateRefreshableObject(IWbemServices* services, IWbemObjectAccess* objectTemplate,
                                         IWbemRefresher* refresher, LONG flags, IWbemContext* context,
                                         IWbemObjectAccess** refreshable, LONG* id) override;
    STDMETHODIMP StopRefreshing(IWbemRefresher* refresher, LONG id, LONG flags) override;
    STDMETHODIMP CreateRefreshableEnum(IWbemServices* services, LPCWSTR className,
                                       IWbemRefresher* refresher, LONG flags, IWbemContext* context,
                                       IWbemHiPerfEnum* enumerator, LONG* id) override;
    STDMETHODIMP GetObjects(IWbemServices* services, LONG count, IWbemObjectAccess** objects,
                            LONG flags, IWbemContext* context) override;

private:
    HRESULT InitializeClass(IWbemServices* services, IWbemContext* context,
                            IWbemProviderInitSink* initSink);

    // Destroyed last: uncounting may take the data source with it.
    module::CountedObject counted_;
    com_ptr<IWbemClassObject> classObject_;
};
