#pragma once

// The refresher WMI receives from CreateRefresher. It owns instance "0" of
// the counter class, hands it out as the refreshable object and adds it to
// every refreshable enumerator; Refresh rewrites its counters.

#include <windows.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <cstdint>
#include <memory>

#include "WMIRouterClient/module.h"
#include "WMIRouterClient/perf_data_source.h"
#include "common/thread/recursive_lock.h"
#include "common/util/com_object.h"
#include "common/util/log_callback.h"
#include "common/util/unique_resource.h"

struct RefreshableObjectRecord {
    std::int32_t id;
    std::int32_t index;
};

class CRefresher final : public ComObject<IWbemRefresher> {
public:
    static constexpr int kEnumeratorSlots = 10;
    static constexpr LONG kFirstObjectId = 10;

    // Opens the router's block for reading and points the data source's
    // reports at the diagnostic log.
    CRefresher(IWbemHiPerfProvider* provider, CPerfDataSource* dataSource) noexcept;
    ~CRefresher() override;

    HRESULT Initialize(IWbemClassObject* classObject) noexcept;

    STDMETHODIMP Refresh(LONG flags) override;

    HRESULT AddObject(IWbemObjectAccess* objectTemplate, IWbemObjectAccess** object, LONG* id) noexcept;
    HRESULT RemoveObject(LONG id) noexcept;
    HRESULT AddEnum(IWbemHiPerfEnum* enumerator, LONG* id) noexcept;
    HRESULT RemoveEnum(LONG id) noexcept;

    // The refresher behind `refresher` when it is a live one of this module,
    // else null; the pointer is compared, never dereferenced.
    static CRefresher* FromInterface(IWbemRefresher* refresher) noexcept;

private:
    // Destroyed in reverse order: the object record, the instance, the
    // enumerators, the provider reference, and last the object count.
    module::CountedObject counted_;
    com_ptr<IWbemHiPerfProvider> provider_;
    CPerfDataSource* dataSource_;
    LogCallback logCallback_;
    com_ptr<IWbemHiPerfEnum> enumerators_[kEnumeratorSlots];
    com_ptr<IWbemObjectAccess> instances_[kInstanceCount];
    std::unique_ptr<RefreshableObjectRecord> objectRecord_;
    // WMI may add and remove objects and enumerators from several threads.
    RecursiveLock slotsLock_;
};
