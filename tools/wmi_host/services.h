#pragma once

// The namespace a provider is initialised with. It knows one class, and
// answers GetObject for it; a hi-perf provider needs nothing else of WMI.

#include <windows.h>
#include <wbemcli.h>

#include <memory>

#include "common/util/com_object.h"
#include "common/util/unique_resource.h"
#include "tools/wmi_host/host_state.h"

namespace wmihost {

class WbemObject;

class Services final : public ComObject<IWbemServices> {
public:
    Services(std::shared_ptr<HostState> state, com_ptr<WbemObject> classObject);
    ~Services() override;

    STDMETHODIMP OpenNamespace(const BSTR strNamespace, LONG lFlags, IWbemContext* pCtx,
                               IWbemServices** ppWorkingNamespace, IWbemCallResult** ppResult) override;
    STDMETHODIMP CancelAsyncCall(IWbemObjectSink* pSink) override;
    STDMETHODIMP QueryObjectSink(LONG lFlags, IWbemObjectSink** ppResponseHandler) override;
    STDMETHODIMP GetObject(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                           IWbemClassObject** ppObject, IWbemCallResult** ppCallResult) override;
    STDMETHODIMP GetObjectAsync(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                IWbemObjectSink* pResponseHandler) override;
    STDMETHODIMP PutClass(IWbemClassObject* pObject, LONG lFlags, IWbemContext* pCtx,
                          IWbemCallResult** ppCallResult) override;
    STDMETHODIMP PutClassAsync(IWbemClassObject* pObject, LONG lFlags, IWbemContext* pCtx,
                               IWbemObjectSink* pResponseHandler) override;
    STDMETHODIMP DeleteClass(const BSTR strClass, LONG lFlags, IWbemContext* pCtx,
                             IWbemCallResult** ppCallResult) override;
    STDMETHODIMP DeleteClassAsync(const BSTR strClass, LONG lFlags, IWbemContext* pCtx,
                                  IWbemObjectSink* pResponseHandler) override;
    STDMETHODIMP CreateClassEnum(const BSTR strSuperclass, LONG lFlags, IWbemContext* pCtx,
                                 IEnumWbemClassObject** ppEnum) override;
    STDMETHODIMP CreateClassEnumAsync(const BSTR strSuperclass, LONG lFlags, IWbemContext* pCtx,
                                      IWbemObjectSink* pResponseHandler) override;
    STDMETHODIMP PutInstance(IWbemClassObject* pInst, LONG lFlags, IWbemContext* pCtx,
                             IWbemCallResult** ppCallResult) override;
    STDMETHODIMP PutInstanceAsync(IWbemClassObject* pInst, LONG lFlags, IWbemContext* pCtx,
                                  IWbemObjectSink* pResponseHandler) override;
    STDMETHODIMP DeleteInstance(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                IWbemCallResult** ppCallResult) override;
    STDMETHODIMP DeleteInstanceAsync(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                     IWbemObjectSink* pResponseHandler) override;
    STDMETHODIMP CreateInstanceEnum(const BSTR strFilter, LONG lFlags, IWbemContext* pCtx,
                                    IEnumWbemClassObject** ppEnum) override;
    STDMETHODIMP CreateInstanceEnumAsync(const BSTR strFilter, LONG lFlags, IWbemContext* pCtx,
                                         IWbemObjectSink* pResponseHandler) override;
    STDMETHODIMP ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                           IWbemContext* pCtx, IEnumWbemClassObject** ppEnum) override;
    STDMETHODIMP ExecQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                IWbemContext* pCtx, IWbemObjectSink* pResponseHandler) override;
    STDMETHODIMP ExecNotificationQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                       IWbemContext* pCtx, IEnumWbemClassObject** ppEnum) override;
    STDMETHODIMP ExecNotificationQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery,
                                            LONG lFlags, IWbemContext* pCtx,
                                            IWbemObjectSink* pResponseHandler) override;
    STDMETHODIMP ExecMethod(const BSTR strObjectPath, const BSTR strMethodName, LONG lFlags,
                            IWbemContext* pCtx, IWbemClassObject* pInParams,
                            IWbemClassObject** ppOutParams, IWbemCallResult** ppCallResult) override;
    STDMETHODIMP ExecMethodAsync(const BSTR strObjectPath, const BSTR strMethodName, LONG lFlags,
                                 IWbemContext* pCtx, IWbemClassObject* pInParams,
                                 IWbemObjectSink* pResponseHandler) override;

private:
    LiveCount counted_;
    com_ptr<WbemObject> classObject_;
};

}  // namespace wmihost
