#pragma once

// The enumerator WMI gives a provider for a refreshable enumeration: the
// provider adds and removes the instances it serves under ids of its own,
// and a refresher reads them back with GetObjects.

#include <windows.h>
#include <wbemcli.h>

#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "common/util/com_object.h"
#include "common/util/unique_resource.h"
#include "tools/wmi_host/host_state.h"

namespace wmihost {

class HiPerfEnum final : public ComObject<IWbemHiPerfEnum> {
public:
    explicit HiPerfEnum(std::shared_ptr<HostState> state);

    // A second object under an id already held replaces the first.
    STDMETHODIMP AddObjects(LONG lFlags, ULONG uNumObjects, LONG* apIds,
                            IWbemObjectAccess** apObj) override;
    // WBEM_E_NOT_FOUND, and nothing removed, when an id is not held.
    STDMETHODIMP RemoveObjects(LONG lFlags, ULONG uNumObjects, LONG* apIds) override;
    // WBEM_E_BUFFER_TOO_SMALL with the count needed in *puReturned when
    // apObj has too few slots; otherwise each object gets a reference.
    STDMETHODIMP GetObjects(LONG lFlags, ULONG uNumObjects, IWbemObjectAccess** apObj,
                            ULONG* puReturned) override;
    STDMETHODIMP RemoveAll(LONG lFlags) override;

    // What the enumerator holds, by ascending id, each a new reference.
    std::vector<std::pair<LONG, com_ptr<IWbemObjectAccess>>> Objects() const;

private:
    LiveCount counted_;
    mutable std::mutex lock_;
    std::map<LONG, com_ptr<IWbemObjectAccess>> objects_;
};

}  // namespace wmihost
