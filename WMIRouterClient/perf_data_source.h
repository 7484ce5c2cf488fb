#pragma once

// The provider's one store of counter values: the five property handles,
// the instance table (one entry, instance "0") and the poller thread that
// copies each new sample of the router's block into it.

#include <windows.h>
#include <wbemcli.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/thread/recursive_lock.h"
#include "common/util/log_callback.h"
#include "common/util/unique_resource.h"

constexpr int kCounterCount = 5;
constexpr int kInstanceCount = 1;

// The counter properties in counter order; only the names are used.
struct CounterName {
    wchar_t name[128];
    std::int32_t flag;
};
extern const CounterName kCounterNames[kCounterCount];

struct InstanceEntry {
    InstanceEntry() = default;
    // A copy has the same counters and a lock of its own.
    InstanceEntry(const InstanceEntry& other) noexcept;
    InstanceEntry& operator=(const InstanceEntry&) = delete;

    // WBEM_E_FAILED for an index outside 0..4 (or a null out pointer).
    HRESULT SetCounter(int index, std::int32_t value) noexcept;
    HRESULT GetCounter(int index, std::int32_t* value) const noexcept;

    std::int32_t counters[kCounterCount] = {};
    mutable RecursiveLock lock;
};

// An instance key read as a signed decimal number: leading blanks and a
// sign allowed, stops at the first non-digit, no digits is 0.
long ParseInstanceIndex(const wchar_t* key) noexcept;

class CPerfDataSource {
public:
    // Null when the object cannot be allocated.
    static std::unique_ptr<CPerfDataSource> Create() noexcept;
    virtual ~CPerfDataSource();

    CPerfDataSource(const CPerfDataSource&) = delete;
    CPerfDataSource& operator=(const CPerfDataSource&) = delete;

    // Loads the property handles and starts the poller. A negative HRESULT
    // from the handles, a positive system error code from the thread's
    // security, WBEM_E_FAILED when no thread starts, else 0.
    std::int32_t Initialize(IWbemClassObject* classObject) noexcept;
    HRESULT LoadPropertyHandles(IWbemClassObject* classObject) noexcept;

    // Writes the five counters of the instance the object's key names.
    HRESULT UpdateInstance(IWbemObjectAccess* object) noexcept;

    HRESULT SetCounter(int entryIndex, int counterIndex, std::int32_t value) noexcept;
    HRESULT GetCounter(int entryIndex, int counterIndex, std::int32_t* value) const noexcept;

    void SetLogCallback(LogCallback callback) noexcept;
    LogCallback GetLogCallback() const noexcept;
    bool HasPoller() const noexcept { return static_cast<bool>(poller_); }
    // How many times the poller has looked at the block.
    std::uint64_t PollCount() const noexcept;
    std::int32_t PropertyHandle(int counterIndex) const noexcept { return propertyHandles_[counterIndex]; }

    // The process-wide data source: created by the first provider that
    // initialises, destroyed (poller stopped) once no counted object is left.
    static CPerfDataSource* Process() noexcept;
    static CPerfDataSource* AcquireProcess(IWbemClassObject* classObject) noexcept;
    static void ReleaseProcessIfUnused() noexcept;
    // Process detach: a poller still alive is told to stop, without a wait.
    // Under the loader lock no thread can end (its detach notification
    // needs that lock), so a wait could only deadlock or time out; a poller
    // can only be alive here when the process is ending, and the system
    // ends it.
    static void StopPollerAtDetach() noexcept;

    static constexpr DWORD kPollMilliseconds = 100;
    static constexpr DWORD kStopMilliseconds = 1000;

private:
    struct Shared;
    struct PollerStart;

    CPerfDataSource() = default;

    static unsigned __stdcall PollerThreadProc(void* argument);
    static HRESULT SetShareMemoryData(Shared& shared);
    InstanceEntry* Entry(long index) const noexcept;

    std::int32_t propertyHandles_[kCounterCount] = {};
    unique_handle poller_;
    // What the poller uses. A poller that outlives the stop wait keeps it
    // alive, so nothing it touches is freed under it.
    std::shared_ptr<Shared> shared_;
};
