#include "tools/wmi_host/sinks.h"

#include <new>

namespace wmihost {

InitSink::InitSink(std::shared_ptr<HostState> state) : counted_(std::move(state)) {}

STDMETHODIMP InitSink::SetStatus(LONG lStatus, LONG lFlags)
{
    HRESULT fault = S_OK;
    if (counted_.Faults().Trip(FaultPlan::Operation::SetStatus, &fault)) {
        return fault;
    }
    try {
        std::lock_guard<std::mutex> guard(lock_);
        statuses_.emplace_back(lStatus, lFlags);
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    }
    return WBEM_S_NO_ERROR;
}

std::vector<std::pair<LONG, LONG>> InitSink::Statuses() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return statuses_;
}

ObjectSink::ObjectSink(std::shared_ptr<HostState> state) : counted_(std::move(state)) {}

STDMETHODIMP ObjectSink::Indicate(LONG lObjectCount, IWbemClassObject** apObjArray)
{
    HRESULT fault = S_OK;
    if (counted_.Faults().Trip(FaultPlan::Operation::Indicate, &fault)) {
        return fault;
    }
    if (lObjectCount < 0 || (lObjectCount > 0 && apObjArray == nullptr)) {
        return WBEM_E_INVALID_PARAMETER;
    }
    for (LONG i = 0; i < lObjectCount; ++i) {
        if (apObjArray[i] == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
    }
    try {
        std::vector<com_ptr<IWbemClassObject>> taken;
        taken.reserve(static_cast<size_t>(lObjectCount));
        for (LONG i = 0; i < lObjectCount; ++i) {
            taken.push_back(com_ref(apObjArray[i]));
        }
        std::lock_guard<std::mutex> guard(lock_);
        objects_.reserve(objects_.size() + taken.size());
        for (auto& object : taken) {
            objects_.push_back(std::move(object));
        }
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    }
    return WBEM_S_NO_ERROR;
}

STDMETHODIMP ObjectSink::SetStatus(LONG lFlags, HRESULT hResult, BSTR, IWbemClassObject*)
{
    HRESULT fault = S_OK;
    if (counted_.Faults().Trip(FaultPlan::Operation::SetStatus, &fault)) {
        return fault;
    }
    try {
        std::lock_guard<std::mutex> guard(lock_);
        statuses_.emplace_back(lFlags, hResult);
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    }
    return WBEM_S_NO_ERROR;
}

std::vector<com_ptr<IWbemClassObject>> ObjectSink::Objects() const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<com_ptr<IWbemClassObject>> copies;
    copies.reserve(objects_.size());
    for (const auto& object : objects_) {
        copies.push_back(com_ref(object.get()));
    }
    return copies;
}

size_t ObjectSink::ObjectCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return objects_.size();
}

std::vector<std::pair<LONG, HRESULT>> ObjectSink::Statuses() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return statuses_;
}

}  // namespace wmihost
