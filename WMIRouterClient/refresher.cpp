#include "refresher.h"

#include <cwchar>
#include <new>

#include "WMIRouterClient/client_check.h"
#include "WMIRouterClient/diagnostic_log.h"
#include "WMIRouterClient/log_contexts.h"
#include "WMIRouterClient/process_globals.h"

namespace {

// The key text of an instance index, written with its terminator.
HRESULT WriteInstanceKey(IWbemObjectAccess* instance, int index)
{
    wchar_t key[16] = {};
    _snwprintf(key, 15, L"%d", index);
    const LONG bytes = static_cast<LONG>((std::wcslen(key) + 1) * sizeof(wchar_t));
    return instance->WritePropertyValue(g_nameKeyHandle.load(), bytes, reinterpret_cast<const byte*>(key));
}

}  // namespace

CRefresher::CRefresher(IWbemHiPerfProvider* provider, CPerfDataSource* dataSource) noexcept
    : provider_(com_ref(provider)), dataSource_(dataSource), logCallback_(&DiagnosticLog)
{
    constexpr const char* kFunction = "CRefresher::CRefresher";
    if (dataSource_ != nullptr) {
        dataSource_->SetLogCallback(logCallback_);
    }
    // Opened anew for every refresher: a block the router created after the
    // provider started is picked up here.
    if (g_routerBlock.Initialize(kRouterBlockName, kRouterBlockNameLimit, FILE_MAP_READ, logCallback_)) {
        ReportToCallback(logCallback_, 4, kFunction, __LINE__, &g_providerLogContext,
                         L"Initialize the instance map for general counter");
    } else {
        ReportToCallback(logCallback_, 1, kFunction, __LINE__, &g_providerLogContext,
                         L"Cannot access to shared memory for Router general counters");
    }
    try {
        RecursiveLockGuard guard(g_liveRefreshersLock);
        g_liveRefreshers.insert(this);
    } catch (...) {
        // Unrecognised, the refresher is refused by the provider's methods.
    }
}

CRefresher::~CRefresher()
{
    RecursiveLockGuard guard(g_liveRefreshersLock);
    g_liveRefreshers.erase(this);
}

CRefresher* CRefresher::FromInterface(IWbemRefresher* refresher) noexcept
{
    RecursiveLockGuard guard(g_liveRefreshersLock);
    return g_liveRefreshers.count(refresher) != 0 ? static_cast<CRefresher*>(refresher) : nullptr;
}

HRESULT CRefresher::Initialize(IWbemClassObject* classObject) noexcept
{
    if (classObject == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    try {
        for (int index = 0; index < kInstanceCount; ++index) {
            IWbemClassObject* rawInstance = nullptr;
            HRESULT hr = classObject->SpawnInstance(0, &rawInstance);
            com_ptr<IWbemClassObject> spawned(rawInstance);
            if (FAILED(hr) || !spawned) {
                return FAILED(hr) ? hr : static_cast<HRESULT>(WBEM_E_INVALID_OBJECT);
            }
            com_ptr<IWbemObjectAccess> instance = com_query<IWbemObjectAccess>(spawned.get(), &hr);
            spawned.reset();
            if (FAILED(hr)) {
                return hr;
            }
            if (!instance) {
                return WBEM_E_INVALID_OBJECT;
            }
            hr = WriteInstanceKey(instance.get(), index);
            if (FAILED(hr)) {
                return hr;
            }
            if (dataSource_ == nullptr) {
                return WBEM_E_INVALID_OBJECT;
            }
            hr = dataSource_->UpdateInstance(instance.get());
            if (FAILED(hr)) {
                return hr;
            }
            RecursiveLockGuard guard(slotsLock_);
            instances_[index] = std::move(instance);
        }
        return 0;
    } catch (...) {
        ReportToCallback(logCallback_, 1, "CRefresher::Initialize", __LINE__, &g_providerLogContext,
                         L"Unknwon exception");
        return WBEM_E_INVALID_OBJECT;
    }
}

STDMETHODIMP CRefresher::Refresh(LONG /*flags*/)
{
    HRESULT impersonation = S_OK;
    const HRESULT allowed = CheckClient(impersonation);
    if (allowed != S_OK) {
        return allowed;
    }
    IWbemObjectAccess* instance = instances_[0].get();
    if (instance == nullptr) {
        return impersonation;
    }
    return dataSource_ != nullptr ? dataSource_->UpdateInstance(instance) : static_cast<HRESULT>(WBEM_E_INVALID_OBJECT);
}

HRESULT CRefresher::AddObject(IWbemObjectAccess* objectTemplate, IWbemObjectAccess** object, LONG* id) noexcept
{
    if (objectTemplate == nullptr || object == nullptr || id == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    wchar_t key[512] = {};
    LONG bytesRead = 0;
    const HRESULT read = objectTemplate->ReadPropertyValue(g_nameKeyHandle.load(), 511, &bytesRead,
                                                           reinterpret_cast<byte*>(key));
    if (FAILED(read)) {
        return read;
    }
    if (bytesRead == 0 || key[0] == L'\0') {
        return WBEM_E_INVALID_PARAMETER;  // a template without a key names nothing
    }
    const long index = ParseInstanceIndex(key);
    RecursiveLockGuard guard(slotsLock_);
    if (index < 0 || index >= kInstanceCount || !instances_[index]) {
        return WBEM_E_NOT_FOUND;
    }
    if (objectRecord_) {
        return WBEM_E_OUT_OF_MEMORY;  // one refreshable object per refresher
    }
    auto* record = new (std::nothrow) RefreshableObjectRecord;
    if (record == nullptr) {
        return WBEM_E_OUT_OF_MEMORY;
    }
    record->id = g_nextRefreshableId.fetch_add(1);
    record->index = static_cast<std::int32_t>(index);
    objectRecord_.reset(record);
    *id = record->id;
    *object = com_ref(instances_[index].get()).release();
    return read;
}

HRESULT CRefresher::RemoveObject(LONG id) noexcept
{
    RecursiveLockGuard guard(slotsLock_);
    if (!objectRecord_ || objectRecord_->id != id) {
        return WBEM_E_NOT_FOUND;
    }
    objectRecord_.reset();
    return 0;
}

HRESULT CRefresher::AddEnum(IWbemHiPerfEnum* enumerator, LONG* id) noexcept
{
    if (enumerator == nullptr || id == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    RecursiveLockGuard guard(slotsLock_);
    int slot = 0;
    while (slot < kEnumeratorSlots && enumerators_[slot]) {
        ++slot;
    }
    if (slot == kEnumeratorSlots) {
        return WBEM_E_FAILED;
    }
    // Without an instance (Initialize failed) the enumeration stays empty.
    if (IWbemObjectAccess* instance = instances_[0].get()) {
        LONG ids[1] = {0};
        IWbemObjectAccess* objects[1] = {instance};
        const HRESULT hr = enumerator->AddObjects(0, 1, ids, objects);
        if (FAILED(hr)) {
            return hr;
        }
    }
    enumerators_[slot] = com_ref(enumerator);
    *id = slot;
    return 0;
}

HRESULT CRefresher::RemoveEnum(LONG id) noexcept
{
    if (id < 0 || id >= kEnumeratorSlots) {
        return WBEM_E_FAILED;
    }
    RecursiveLockGuard guard(slotsLock_);
    if (!enumerators_[id]) {
        return WBEM_E_FAILED;
    }
    enumerators_[id].reset();
    return 0;
}
