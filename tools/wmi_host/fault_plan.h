#pragma once

// Which calls into the host fail, and how often each kind has been made.
// Shared by every object of one host; safe to use from several threads.

#include <windows.h>
#include <wbemcli.h>

#include <atomic>

namespace wmihost {

class FaultPlan {
public:
    enum class Operation {
        GetObject,           // IWbemServices::GetObject
        SpawnInstance,       // IWbemClassObject::SpawnInstance
        GetPropertyHandle,   // IWbemObjectAccess, on classes and instances
        ReadPropertyValue,
        WritePropertyValue,
        ReadDWORD,
        WriteDWORD,
        AddObjects,          // IWbemHiPerfEnum::AddObjects
        Indicate,            // IWbemObjectSink::Indicate
        SetStatus,           // both IWbemProviderInitSink and IWbemObjectSink
    };

    FaultPlan();
    FaultPlan(const FaultPlan&) = delete;
    FaultPlan& operator=(const FaultPlan&) = delete;

    // The nth call of `op` made from now on (1-based) fails with `hr` and does
    // nothing else; nth = 0 makes every call fail. Replaces an earlier plan
    // for the same operation.
    void Fail(Operation op, int nth, HRESULT hr = WBEM_E_FAILED);
    // Disarms every operation and restarts the call counts.
    void Clear();
    // Calls of `op` since the host was made or Clear() was called, failed
    // ones included.
    int Calls(Operation op) const;

    // For the host's own objects: counts one call of `op`; true with the
    // answer in *hr when that call is to fail.
    bool Trip(Operation op, HRESULT* hr);

private:
    static constexpr int kOperations = static_cast<int>(Operation::SetStatus) + 1;
    // Which call number fails: kNever, kEvery or an absolute call count.
    static constexpr int kNever = -1;
    static constexpr int kEvery = 0;

    struct Slot {
        std::atomic<int> calls{0};
        std::atomic<int> failAt{kNever};
        std::atomic<HRESULT> result{static_cast<HRESULT>(WBEM_E_FAILED)};
    };
    Slot slots_[kOperations];
};

}  // namespace wmihost
