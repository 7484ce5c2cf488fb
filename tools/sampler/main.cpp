// router-sampler: drives the provider DLL exactly as WMI does (initialise on
// root\cimv2, create a refresher, add an enumerator for the class, refresh)
// and prints the counters in the CSV layout typeperf writes.

#include <windows.h>
#include <objbase.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "WMIRouterClient/wmirouter_perf.h"
#include "common/util/unique_resource.h"
#include "tools/host/provider_module.h"
#include "tools/wmi_host/host.h"

namespace {

constexpr const wchar_t* kDefaultClass = L"Win32_PerfRawData_Marrowfell_Router_Client";

struct Options {
    std::wstring dll;  // empty: activate through COM
    std::wstring mof;
    std::wstring className = kDefaultClass;
    DWORD intervalMs = 1000;
    unsigned samples = 10;
};

void Usage(FILE* out)
{
    std::fwprintf(out,
        L"usage: router-sampler [--samples N] [--interval MS] [--dll PATH] [--mof PATH]\n"
        L"                      [--class NAME]\n"
        L"  Activates the router client provider through COM the way WMI does,\n"
        L"  refreshes its counters N times (default 10), MS milliseconds apart\n"
        L"  (default 1000), and prints them as CSV in typeperf's layout. The router\n"
        L"  (or router-sim) must be running and the provider registered (regsvr32).\n"
        L"  --dll   load this provider DLL directly instead of through COM\n"
        L"  --mof   the class definition (default: RouterClientPerf.mof beside it)\n"
        L"  --class the counter class (default: %ls)\n",
        kDefaultClass);
}

bool ParseUnsigned(const wchar_t* text, unsigned long low, unsigned long high, unsigned long& value)
{
    wchar_t* end = nullptr;
    value = std::wcstoul(text, &end, 10);
    return end != text && *end == L'\0' && value >= low && value <= high;
}

// 0 to go on, else the exit code.
int ParseOptions(int argc, wchar_t** argv, Options& options)
{
    options.mof = FileBesideProgram(L"RouterClientPerf.mof");
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long number = 0;
        if (option == L"--help" || option == L"-h") {
            Usage(stdout);
            return -1;
        }
        if (value == nullptr) {
            std::fwprintf(stderr, L"router-sampler: %ls needs a value (see --help)\n", option.c_str());
            return 2;
        }
        ++i;
        if (option == L"--dll") {
            options.dll = value;
        } else if (option == L"--mof") {
            options.mof = value;
        } else if (option == L"--class") {
            options.className = value;
        } else if (option == L"--interval" && ParseUnsigned(value, 10, 3600000, number)) {
            options.intervalMs = number;
        } else if (option == L"--samples" && ParseUnsigned(value, 1, 1000000, number)) {
            options.samples = number;
        } else {
            std::fwprintf(stderr, L"router-sampler: bad option %ls %ls (see --help)\n", option.c_str(), value);
            return 2;
        }
    }
    return 0;
}

// A CSV field as typeperf writes it: always quoted, quotes doubled.
std::wstring Quoted(const std::wstring& text)
{
    std::wstring field = L"\"";
    for (wchar_t c : text) {
        field += c;
        if (c == L'"') {
            field += c;
        }
    }
    return field + L"\"";
}

std::wstring DisplayName(const wmihost::Qualifiers& qualifiers, const std::wstring& fallback)
{
    const auto found = qualifiers.find(L"DisplayName");
    return found != qualifiers.end() && !found->second.empty() ? found->second : fallback;
}

std::wstring HeaderRow(const wmihost::ClassDef& definition, const std::vector<std::wstring>& counters)
{
    TIME_ZONE_INFORMATION zone = {};
    ::GetTimeZoneInformation(&zone);
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD units = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(computer, &units)) {
        std::wcscpy(computer, L"localhost");
    }
    std::wstring row = Quoted(L"(PDH-CSV 4.0) (" + std::wstring(zone.StandardName) + L")(" +
                              std::to_wstring(zone.Bias) + L")");
    const std::wstring object = DisplayName(definition.qualifiers, definition.name);
    for (const std::wstring& counter : counters) {
        std::wstring label = counter;
        for (const auto& property : definition.properties) {
            if (property.name == counter) {
                label = DisplayName(property.qualifiers, counter);
            }
        }
        row += L"," + Quoted(L"\\\\" + std::wstring(computer) + L"\\" + object + L"(0)\\" + label);
    }
    return row;
}

std::wstring TimeCell()
{
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    wchar_t text[32] = {};
    _snwprintf(text, 31, L"%02u/%02u/%04u %02u:%02u:%02u.%03u", now.wMonth, now.wDay, now.wYear,
               now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return Quoted(text);
}

int Fail(const std::wstring& message)
{
    std::fwprintf(stderr, L"router-sampler: %ls\n", message.c_str());
    return 1;
}

std::wstring Hex(HRESULT hr)
{
    wchar_t text[16] = {};
    _snwprintf(text, 15, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

// The provider object, from the DLL loaded by path or activated through COM.
bool CreateProvider(const Options& options, ProviderModule& dll, com_ptr<IWbemProviderInit>& init)
{
    HRESULT hr = S_OK;
    if (options.dll.empty()) {
        hr = ::CoCreateInstance(kRouterPerfClientClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemProviderInit,
                                reinterpret_cast<void**>(init.put()));
        if (hr == REGDB_E_CLASSNOTREG) {
            Fail(L"the provider is not registered: run \"regsvr32 RouterPerfClient.dll\" as an administrator, "
                 L"or pass --dll PATH to load it directly");
            return false;
        }
        if (FAILED(hr)) {
            Fail(L"COM cannot activate the provider (" + Hex(hr) + L")");
            return false;
        }
        return true;
    }
    if (!dll.Load(options.dll.c_str())) {
        Fail(dll.Error());
        return false;
    }
    com_ptr<IClassFactory> factory;
    hr = dll.GetClassObject(kRouterPerfClientClsid, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
    if (FAILED(hr)) {
        Fail(options.dll + L" does not serve the router client class (" + Hex(hr) + L")");
        return false;
    }
    hr = factory->CreateInstance(nullptr, IID_IWbemProviderInit, reinterpret_cast<void**>(init.put()));
    if (FAILED(hr)) {
        Fail(L"the provider cannot be created (" + Hex(hr) + L")");
        return false;
    }
    return true;
}

int Sample(const Options& options, ProviderModule& dll)
{
    std::wstring error;
    std::unique_ptr<wmihost::Host> host = wmihost::Host::FromMof(options.mof, options.className, error);
    if (!host) {
        return Fail(error);
    }
    std::vector<std::wstring> counters;
    for (const auto& property : host->Definition().properties) {
        if (!property.key && property.type == CIM_UINT32) {
            counters.push_back(property.name);
        }
    }

    com_ptr<IWbemProviderInit> init;
    if (!CreateProvider(options, dll, init)) {
        return 1;
    }
    // No block, nothing to sample: say so rather than print zeros.
    if (!unique_handle(::OpenFileMappingW(FILE_MAP_READ, FALSE, kRouterBlockName))) {
        return Fail(std::wstring(L"the router's counter block ") + kRouterBlockName +
                    L" does not exist: start the router (or router-sim) first");
    }
    com_ptr<wmihost::InitSink> initSink = host->NewInitSink();
    wchar_t ns[] = L"root\\cimv2";
    HRESULT hr = init->Initialize(nullptr, 0, ns, nullptr, host->Services(), nullptr, initSink.get());
    const auto statuses = initSink->Statuses();
    if (FAILED(hr) || statuses.empty() || statuses.back().first != WBEM_S_INITIALIZED) {
        return Fail(L"the provider did not initialise for class " + options.className + L" (" +
                    Hex(FAILED(hr) || statuses.empty() ? hr : statuses.back().first) + L")");
    }
    com_ptr<IWbemHiPerfProvider> provider = com_query<IWbemHiPerfProvider>(init.get());
    init.reset();
    com_ptr<IWbemRefresher> refresher;
    if (!provider || FAILED(hr = provider->CreateRefresher(host->Services(), 0, refresher.put()))) {
        return Fail(L"the provider gave no refresher (" + Hex(hr) + L")");
    }
    com_ptr<wmihost::HiPerfEnum> enumerator = host->NewEnum();
    LONG enumId = -1;
    hr = provider->CreateRefreshableEnum(host->Services(), options.className.c_str(), refresher.get(), 0,
                                         nullptr, enumerator.get(), &enumId);
    if (FAILED(hr)) {
        return Fail(L"the provider refused an enumerator (" + Hex(hr) + L")");
    }

    std::wprintf(L"%ls\n", HeaderRow(host->Definition(), counters).c_str());
    std::fflush(stdout);
    for (unsigned n = 0; n < options.samples; ++n) {
        // As typeperf does, each row comes one interval after the last.
        ::Sleep(options.intervalMs);
        hr = refresher->Refresh(0);
        const auto objects = enumerator->Objects();
        if (FAILED(hr) || objects.empty()) {
            return Fail(L"refresh failed (" + Hex(hr) + L")");
        }
        std::wstring row = TimeCell();
        for (const std::wstring& counter : counters) {
            DWORD value = 0;
            wmihost::Host::ReadDword(objects.front().second.get(), counter.c_str(), value);
            row += L"," + Quoted(std::to_wstring(value));
        }
        std::wprintf(L"%ls\n", row.c_str());
        std::fflush(stdout);
    }
    provider->StopRefreshing(refresher.get(), enumId, 0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    if (const int exit = ParseOptions(argc, argv, options)) {
        return exit < 0 ? 0 : exit;
    }

    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ProviderModule dll;
    int exit = Sample(options, dll);
    if (exit == 0 && dll.IsLoaded() && dll.CanUnloadNow() != S_OK) {
        exit = Fail(L"the provider still holds objects after every reference was released");
    }
    dll.Unload();
    if (SUCCEEDED(com)) {
        ::CoUninitialize();
    }
    return exit;
}
