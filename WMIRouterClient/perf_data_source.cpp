#include "perf_data_source.h"

#include <oleauto.h>
#include <process.h>

#include <climits>
#include <ctime>
#include <cwctype>
#include <new>

#include "WMIRouterClient/admin_security.h"
#include "WMIRouterClient/module.h"
#include "WMIRouterClient/process_globals.h"
#include "common/util/system_error_text.h"

const CounterName kCounterNames[kCounterCount] = {
    {L"bypass_rcvd_msg", 1}, {L"bypass_sent_msg", 1}, {L"dev_conns", 1},
    {L"work_queue_size", 1}, {L"srv_conns", 1},
};

namespace {

// Where each counter, in counter order, sits in the router's record.
constexpr std::size_t kCounterOffsets[kCounterCount] = {48, 40, 24, 32, 16};

struct Sample {
    std::int32_t counters[kCounterCount];
    bool operator==(const Sample& other) const noexcept
    {
        for (int i = 0; i < kCounterCount; ++i) {
            if (counters[i] != other.counters[i]) {
                return false;
            }
        }
        return true;
    }
};

Sample ReadSample(const wmirouter_perf_t* view) noexcept
{
    Sample sample;
    const auto* bytes = reinterpret_cast<const volatile unsigned char*>(view);
    for (int i = 0; i < kCounterCount; ++i) {
        sample.counters[i] =
            *reinterpret_cast<const volatile std::int32_t*>(bytes + kCounterOffsets[i]);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    return sample;
}

}  // namespace

InstanceEntry::InstanceEntry(const InstanceEntry& other) noexcept
{
    for (int i = 0; i < kCounterCount; ++i) {
        counters[i] = other.counters[i];
    }
}

HRESULT InstanceEntry::SetCounter(int index, std::int32_t value) noexcept
{
    if (index < 0 || index >= kCounterCount) {
        return WBEM_E_FAILED;
    }
    counters[index] = value;
    return 0;
}

HRESULT InstanceEntry::GetCounter(int index, std::int32_t* value) const noexcept
{
    if (index < 0 || index >= kCounterCount || value == nullptr) {
        return WBEM_E_FAILED;
    }
    *value = counters[index];
    return 0;
}

long ParseInstanceIndex(const wchar_t* key) noexcept
{
    if (key == nullptr) {
        return 0;
    }
    while (std::iswspace(*key)) {
        ++key;
    }
    bool negative = false;
    if (*key == L'+' || *key == L'-') {
        negative = *key == L'-';
        ++key;
    }
    long long value = 0;
    for (; *key >= L'0' && *key <= L'9'; ++key) {
        // Saturate: any overlong number names no instance.
        if (value < LONG_MAX) {
            value = value * 10 + (*key - L'0');
        }
    }
    if (value > LONG_MAX) {
        value = LONG_MAX;
    }
    return negative ? -static_cast<long>(value) : static_cast<long>(value);
}

struct CPerfDataSource::Shared {
    unique_handle stopEvent{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    // Seconds since 1970 at construction: a block whose stamp is still the
    // construction time is not copied until it changes.
    std::int64_t lastStamp = static_cast<std::int64_t>(std::time(nullptr));
    std::atomic<LogCallback> logCallback{nullptr};
    std::atomic<std::uint64_t> polls{0};
    InstanceEntry instances[kInstanceCount];
};

struct CPerfDataSource::PollerStart {
    std::shared_ptr<Shared> shared;
    HMODULE module = nullptr;  // a reference that keeps this code loaded
};

std::unique_ptr<CPerfDataSource> CPerfDataSource::Create() noexcept
{
    try {
        std::unique_ptr<CPerfDataSource> source(new CPerfDataSource);
        source->shared_ = std::make_shared<Shared>();
        return source;
    } catch (...) {
        return nullptr;
    }
}

CPerfDataSource::~CPerfDataSource()
{
    if (poller_) {
        ::SetEvent(shared_->stopEvent.get());
        // A poller still running after the wait keeps the shared state and a
        // reference on the module; it frees both as it ends.
        ::WaitForSingleObject(poller_.get(), kStopMilliseconds);
        poller_.reset();
    }
}

void CPerfDataSource::SetLogCallback(LogCallback callback) noexcept
{
    shared_->logCallback.store(callback);
}

LogCallback CPerfDataSource::GetLogCallback() const noexcept
{
    return shared_->logCallback.load();
}

std::uint64_t CPerfDataSource::PollCount() const noexcept
{
    return shared_->polls.load();
}

HRESULT CPerfDataSource::LoadPropertyHandles(IWbemClassObject* classObject) noexcept
{
    if (classObject == nullptr) {
        return WBEM_E_FAILED;
    }
    IWbemObjectAccess* rawAccess = nullptr;
    const HRESULT hr = classObject->QueryInterface(IID_IWbemObjectAccess,
                                                   reinterpret_cast<void**>(&rawAccess));
    if (FAILED(hr)) {
        return hr;
    }
    com_ptr<IWbemObjectAccess> access(rawAccess);
    if (!access) {
        return hr;
    }
    for (int i = 0; i < kCounterCount; ++i) {
        BSTR name = ::SysAllocString(kCounterNames[i].name);
        if (name == nullptr) {
            return WBEM_E_OUT_OF_MEMORY;
        }
        LONG handle = 0;
        const HRESULT got = access->GetPropertyHandle(name, nullptr, &handle);
        ::SysFreeString(name);
        if (FAILED(got)) {
            return got;
        }
        propertyHandles_[i] = handle;
    }
    return 0;
}

std::int32_t CPerfDataSource::Initialize(IWbemClassObject* classObject) noexcept
{
    constexpr const char* kFunction = "CPerfDataSource::Initialize";
    const HRESULT loaded = LoadPropertyHandles(classObject);
    if (FAILED(loaded)) {
        return loaded;
    }
    if (poller_) {
        return 0;  // one poller per data source
    }

    AdministratorsOnlySecurity security;
    DWORD code = 0;
    const auto failed = security.Build(code);
    if (failed != AdministratorsOnlySecurity::Step::None) {
        const SystemErrorText error(code);
        const wchar_t* format = failed == AdministratorsOnlySecurity::Step::Descriptor
                                    ? L"Could not initialize security descriptor: %d - %s"
                                : failed == AdministratorsOnlySecurity::Step::Sid
                                    ? L"Could not initialize SID: %d - %s"
                                    : L"Could not add the ACL to the security descriptor: %d - %s";
        ReportToCallback(GetLogCallback(), 1, kFunction, __LINE__, &g_providerLogContext, format,
                         static_cast<int>(error.Code()), error.Text());
        return static_cast<std::int32_t>(code);
    }

    auto* start = new (std::nothrow) PollerStart;
    if (start == nullptr) {
        return WBEM_E_FAILED;
    }
    start->shared = shared_;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&CPerfDataSource::PollerThreadProc),
                         &start->module);
    module::ThreadStarted();
    const uintptr_t thread =
        _beginthreadex(security.Attributes(), 0, &CPerfDataSource::PollerThreadProc, start, 0, nullptr);
    if (thread == 0) {
        module::ThreadEnded();
        if (start->module != nullptr) {
            ::FreeLibrary(start->module);
        }
        delete start;
        return WBEM_E_FAILED;
    }
    poller_.reset(reinterpret_cast<HANDLE>(thread));
    return 0;
}

unsigned __stdcall CPerfDataSource::PollerThreadProc(void* argument)
{
    if (argument == nullptr) {
        return 1;
    }
    HMODULE self = nullptr;
    {
        std::unique_ptr<PollerStart> start(static_cast<PollerStart*>(argument));
        self = start->module;
        SetShareMemoryData(*start->shared);
    }
    module::ThreadEnded();
    if (self != nullptr) {
        // The module may be unloaded the moment its reference goes: leave
        // without returning into it.
        ::FreeLibraryAndExitThread(self, 0);
    }
    return 0;
}

HRESULT CPerfDataSource::SetShareMemoryData(Shared& shared)
{
    try {
        for (;;) {
            if (::WaitForSingleObject(shared.stopEvent.get(), kPollMilliseconds) != WAIT_TIMEOUT) {
                return 0;
            }
            shared.polls.fetch_add(1);
            RecursiveLockGuard viewGuard(g_routerBlock.ViewLock());
            const std::int64_t stamp = g_routerBlock.ReadStamp();
            if (stamp == shared.lastStamp) {
                continue;
            }
            const wmirouter_perf_t* view = g_routerBlock.View();
            if (view == nullptr) {
                shared.lastStamp = stamp;
                continue;
            }
            // Taken twice around a second look at the stamp: a sample the
            // router was rewriting meanwhile is left for the next cycle.
            const Sample first = ReadSample(view);
            const std::int64_t stampAfter = g_routerBlock.ReadStamp();
            const Sample second = ReadSample(view);
            if (stampAfter != stamp || !(first == second)) {
                continue;
            }
            InstanceEntry& entry = shared.instances[0];
            RecursiveLockGuard entryGuard(entry.lock);
            for (int i = 0; i < kCounterCount; ++i) {
                entry.counters[i] = first.counters[i];
            }
            shared.lastStamp = stamp;
        }
    } catch (...) {
        ReportToCallback(shared.logCallback.load(), 1, "CPerfDataSource::SetShareMemoryData",
                         __LINE__, &g_providerLogContext, L"Unknown exception in router sessions");
        return WBEM_E_FAILED;
    }
}

InstanceEntry* CPerfDataSource::Entry(long index) const noexcept
{
    return (index >= 0 && index < kInstanceCount) ? &shared_->instances[index] : nullptr;
}

HRESULT CPerfDataSource::UpdateInstance(IWbemObjectAccess* object) noexcept
{
    if (object == nullptr) {
        return WBEM_E_FAILED;
    }
    HRESULT result = WBEM_E_FAILED;
    try {
        wchar_t key[512] = {};
        LONG bytesRead = 0;
        result = object->ReadPropertyValue(g_nameKeyHandle.load(), 511, &bytesRead,
                                           reinterpret_cast<byte*>(key));
        if (FAILED(result)) {
            return result;
        }
        InstanceEntry* entry = Entry(ParseInstanceIndex(key));
        if (entry == nullptr) {
            return WBEM_E_NOT_FOUND;
        }
        RecursiveLockGuard guard(entry->lock);
        for (int i = 0; i < kCounterCount; ++i) {
            std::int32_t value = 0;
            entry->GetCounter(i, &value);
            result = object->WriteDWORD(propertyHandles_[i], static_cast<DWORD>(value));
            if (FAILED(result)) {
                break;
            }
        }
        return result;
    } catch (...) {
        ReportToCallback(GetLogCallback(), 1, "CPerfDataSource::UpdateInstance", __LINE__,
                         &g_providerLogContext, L"Unknown exception: %d", static_cast<int>(result));
        return result;
    }
}

HRESULT CPerfDataSource::SetCounter(int entryIndex, int counterIndex, std::int32_t value) noexcept
{
    InstanceEntry* entry = Entry(entryIndex);
    if (entry == nullptr) {
        return WBEM_E_FAILED;
    }
    RecursiveLockGuard guard(entry->lock);
    return entry->SetCounter(counterIndex, value);
}

HRESULT CPerfDataSource::GetCounter(int entryIndex, int counterIndex, std::int32_t* value) const noexcept
{
    InstanceEntry* entry = Entry(entryIndex);
    if (entry == nullptr) {
        return WBEM_E_FAILED;
    }
    RecursiveLockGuard guard(entry->lock);
    return entry->GetCounter(counterIndex, value);
}

CPerfDataSource* CPerfDataSource::Process() noexcept
{
    return g_dataSource.load();
}

CPerfDataSource* CPerfDataSource::AcquireProcess(IWbemClassObject* classObject) noexcept
{
    RecursiveLockGuard guard(g_dataSourceLock);
    if (CPerfDataSource* existing = g_dataSource.load()) {
        return existing;
    }
    std::unique_ptr<CPerfDataSource> created = Create();
    if (!created) {
        return nullptr;
    }
    // The result is deliberately not acted on: without a poller the
    // counters simply stay at 0.
    created->Initialize(classObject);
    g_dataSource.store(created.get());
    return created.release();
}

void CPerfDataSource::StopPollerAtDetach() noexcept
{
    if (CPerfDataSource* const source = g_dataSource.load()) {
        if (source->poller_) {
            ::SetEvent(source->shared_->stopEvent.get());
        }
    }
}

void CPerfDataSource::ReleaseProcessIfUnused() noexcept
{
    RecursiveLockGuard guard(g_dataSourceLock);
    if (module::ObjectCount() != 0) {
        return;  // a new object arrived meanwhile and may use it
    }
    delete g_dataSource.exchange(nullptr);
}
