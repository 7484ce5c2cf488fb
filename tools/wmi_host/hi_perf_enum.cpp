#include "tools/wmi_host/hi_perf_enum.h"

#include <new>

namespace wmihost {

HiPerfEnum::HiPerfEnum(std::shared_ptr<HostState> state) : counted_(std::move(state)) {}

// References given up under the lock are released after it: a Release can
// run an object's destructor, which must not happen while we hold the lock.

STDMETHODIMP HiPerfEnum::AddObjects(LONG lFlags, ULONG uNumObjects, LONG* apIds, IWbemObjectAccess** apObj)
{
    HRESULT fault = S_OK;
    if (counted_.Faults().Trip(FaultPlan::Operation::AddObjects, &fault)) {
        return fault;
    }
    if (lFlags != 0 || (uNumObjects > 0 && (apIds == nullptr || apObj == nullptr))) {
        return WBEM_E_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < uNumObjects; ++i) {
        if (apObj[i] == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
    }
    std::vector<com_ptr<IWbemObjectAccess>> replaced;
    try {
        replaced.reserve(uNumObjects);
        std::lock_guard<std::mutex> guard(lock_);
        for (ULONG i = 0; i < uNumObjects; ++i) {
            com_ptr<IWbemObjectAccess>& slot = objects_[apIds[i]];
            replaced.push_back(std::move(slot));
            slot = com_ref(apObj[i]);
        }
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    }
    return WBEM_S_NO_ERROR;
}

STDMETHODIMP HiPerfEnum::RemoveObjects(LONG lFlags, ULONG uNumObjects, LONG* apIds)
{
    if (lFlags != 0 || (uNumObjects > 0 && apIds == nullptr)) {
        return WBEM_E_INVALID_PARAMETER;
    }
    std::vector<com_ptr<IWbemObjectAccess>> removed;
    try {
        removed.reserve(uNumObjects);
        std::lock_guard<std::mutex> guard(lock_);
        for (ULONG i = 0; i < uNumObjects; ++i) {
            if (objects_.count(apIds[i]) == 0) {
                return WBEM_E_NOT_FOUND;
            }
        }
        for (ULONG i = 0; i < uNumObjects; ++i) {
            const auto found = objects_.find(apIds[i]);
            if (found != objects_.end()) {  // an id given twice is gone already
                removed.push_back(std::move(found->second));
                objects_.erase(found);
            }
        }
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    }
    return WBEM_S_NO_ERROR;
}

STDMETHODIMP HiPerfEnum::GetObjects(LONG lFlags, ULONG uNumObjects, IWbemObjectAccess** apObj,
                                    ULONG* puReturned)
{
    if (lFlags != 0 || puReturned == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(lock_);
    const ULONG held = static_cast<ULONG>(objects_.size());
    *puReturned = held;
    if (uNumObjects < held) {
        return WBEM_E_BUFFER_TOO_SMALL;
    }
    if (held > 0 && apObj == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    ULONG i = 0;
    for (const auto& entry : objects_) {
        entry.second.get()->AddRef();
        apObj[i++] = entry.second.get();
    }
    return WBEM_S_NO_ERROR;
}

STDMETHODIMP HiPerfEnum::RemoveAll(LONG lFlags)
{
    if (lFlags != 0) {
        return WBEM_E_INVALID_PARAMETER;
    }
    std::map<LONG, com_ptr<IWbemObjectAccess>> removed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        removed.swap(objects_);
    }
    return WBEM_S_NO_ERROR;
}

std::vector<std::pair<LONG, com_ptr<IWbemObjectAccess>>> HiPerfEnum::Objects() const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::pair<LONG, com_ptr<IWbemObjectAccess>>> copies;
    copies.reserve(objects_.size());
    for (const auto& entry : objects_) {
        copies.emplace_back(entry.first, com_ref(entry.second.get()));
    }
    return copies;
}

}  // namespace wmihost
