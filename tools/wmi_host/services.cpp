#include "tools/wmi_host/services.h"

#include "tools/wmi_host/wbem_object.h"

namespace wmihost {

namespace {

template <typename T>
HRESULT NotSupported(T** out = nullptr)
{
    if (out != nullptr) {
        *out = nullptr;
    }
    return WBEM_E_NOT_SUPPORTED;
}

}  // namespace

Services::Services(std::shared_ptr<HostState> state, com_ptr<WbemObject> classObject)
    : counted_(std::move(state)), classObject_(std::move(classObject))
{
}

Services::~Services() = default;

STDMETHODIMP Services::GetObject(const BSTR strObjectPath, LONG, IWbemContext*, IWbemClassObject** ppObject,
                                 IWbemCallResult** ppCallResult)
{
    HRESULT fault = S_OK;
    if (counted_.Faults().Trip(FaultPlan::Operation::GetObject, &fault)) {
        return fault;  // out-parameters untouched: a provider must not rely on them
    }
    if (ppCallResult != nullptr) {
        *ppCallResult = nullptr;  // every answer is synchronous
    }
    if (strObjectPath == nullptr || ppObject == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    *ppObject = nullptr;
    if (::CompareStringOrdinal(strObjectPath, -1, classObject_.get()->Definition().name.c_str(), -1,
                               TRUE) != CSTR_EQUAL) {
        return WBEM_E_NOT_FOUND;
    }
    classObject_.get()->AddRef();
    *ppObject = static_cast<IWbemClassObject*>(classObject_.get());
    return WBEM_S_NO_ERROR;
}

STDMETHODIMP Services::OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices** ppWorkingNamespace,
                                     IWbemCallResult** ppResult)
{
    NotSupported(ppResult);
    return NotSupported(ppWorkingNamespace);
}

STDMETHODIMP Services::CancelAsyncCall(IWbemObjectSink*) { return WBEM_E_NOT_SUPPORTED; }

STDMETHODIMP Services::QueryObjectSink(LONG, IWbemObjectSink** ppResponseHandler)
{
    return NotSupported(ppResponseHandler);
}

STDMETHODIMP Services::GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
{
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP Services::PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult** ppCallResult)
{
    return NotSupported(ppCallResult);
}

STDMETHODIMP Services::PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
{
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP Services::DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult** ppCallResult)
{
    return NotSupported(ppCallResult);
}

STDMETHODIMP Services::DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
{
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP Services::CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** ppEnum)
{
    return NotSupported(ppEnum);
}

STDMETHODIMP Services::CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
{
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP Services::PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult** ppCallResult)
{
    return NotSupported(ppCallResult);
}

STDMETHODIMP Services::PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
{
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP Services::DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult** ppCallResult)
{
    return NotSupported(ppCallResult);
}

STDMETHODIMP Services::DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
{
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP Services::CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** ppEnum)
{
    return NotSupported(ppEnum);
}

STDMETHODIMP Services::CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
{
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP Services::ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** ppEnum)
{
    return NotSupported(ppEnum);
}

STDMETHODIMP Services::ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
{
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP Services::ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                             IEnumWbemClassObject** ppEnum)
{
    return NotSupported(ppEnum);
}

STDMETHODIMP Services::ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                  IWbemObjectSink*)
{
    return WBEM_E_NOT_SUPPORTED;
}

STDMETHODIMP Services::ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                  IWbemClassObject** ppOutParams, IWbemCallResult** ppCallResult)
{
    NotSupported(ppCallResult);
    return NotSupported(ppOutParams);
}

STDMETHODIMP Services::ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                       IWbemObjectSink*)
{
    return WBEM_E_NOT_SUPPORTED;
}

}  // namespace wmihost
