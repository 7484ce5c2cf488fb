#pragma once

// The sinks WMI hands a provider: one for the answer to Initialize, one for
// the objects and final status of a query. Each records what it is given.

#include <windows.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "common/util/com_object.h"
#include "common/util/unique_resource.h"
#include "tools/wmi_host/host_state.h"

namespace wmihost {

class InitSink final : public ComObject<IWbemProviderInitSink> {
public:
    explicit InitSink(std::shared_ptr<HostState> state);

    STDMETHODIMP SetStatus(LONG lStatus, LONG lFlags) override;

    // Every SetStatus call as {lStatus, lFlags}, in order.
    std::vector<std::pair<LONG, LONG>> Statuses() const;

private:
    LiveCount counted_;
    mutable std::mutex lock_;
    std::vector<std::pair<LONG, LONG>> statuses_;
};

class ObjectSink final : public ComObject<IWbemObjectSink> {
public:
    explicit ObjectSink(std::shared_ptr<HostState> state);

    // Keeps a reference to each object until the sink goes.
    STDMETHODIMP Indicate(LONG lObjectCount, IWbemClassObject** apObjArray) override;
    STDMETHODIMP SetStatus(LONG lFlags, HRESULT hResult, BSTR strParam,
                           IWbemClassObject* pObjParam) override;

    // The indicated objects in order, each a new reference.
    std::vector<com_ptr<IWbemClassObject>> Objects() const;
    size_t ObjectCount() const;
    // Every SetStatus call as {lFlags, hResult}, in order.
    std::vector<std::pair<LONG, HRESULT>> Statuses() const;

private:
    LiveCount counted_;
    mutable std::mutex lock_;
    std::vector<com_ptr<IWbemClassObject>> objects_;
    std::vector<std::pair<LONG, HRESULT>> statuses_;
};

}  // namespace wmihost
