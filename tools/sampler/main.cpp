// router-sampler: loads the provider DLL as COM would and shows that it
// serves its class.

#include <windows.h>
#include <unknwn.h>

#include <cstdio>
#include <cwchar>

#include "common/util/unique_resource.h"

namespace {

// {72390812-EE29-4309-9B19-ACF198DDB069}
const CLSID kRouterPerfClient = {
    0x72390812, 0xEE29, 0x4309, {0x9B, 0x19, 0xAC, 0xF1, 0x98, 0xDD, 0xB0, 0x69}};

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

template <typename Fn>
Fn Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

int Usage()
{
    std::fwprintf(stderr,
                  L"usage: router-sampler [--dll PATH]\n"
                  L"  Loads the router client provider (default: RouterPerfClient.dll beside\n"
                  L"  this program), asks it for its class factory and creates a provider.\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* dllPath = L"RouterPerfClient.dll";
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--dll") == 0 && i + 1 < argc) {
            dllPath = argv[++i];
        } else if (std::wcscmp(argv[i], L"--help") == 0) {
            Usage();
            return 0;
        } else {
            return Usage();
        }
    }

    unique_module dll(::LoadLibraryW(dllPath));
    if (!dll) {
        std::fwprintf(stderr, L"router-sampler: cannot load %ls (error %lu)\n", dllPath,
                      ::GetLastError());
        return 1;
    }
    auto getClassObject = Export<GetClassObjectFn>(dll.get(), "DllGetClassObject");
    auto canUnloadNow = Export<CanUnloadNowFn>(dll.get(), "DllCanUnloadNow");
    if (getClassObject == nullptr || canUnloadNow == nullptr) {
        std::fwprintf(stderr, L"router-sampler: %ls is not a COM server\n", dllPath);
        return 1;
    }

    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(kRouterPerfClient, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
    std::wprintf(L"DllGetClassObject({72390812-EE29-4309-9B19-ACF198DDB069}, IClassFactory): 0x%08lX\n",
                 static_cast<unsigned long>(hr));
    if (FAILED(hr)) {
        return 1;
    }
    IUnknown* provider = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&provider));
    std::wprintf(L"IClassFactory::CreateInstance(IUnknown): 0x%08lX\n", static_cast<unsigned long>(hr));
    std::wprintf(L"DllCanUnloadNow with a provider alive: 0x%08lX\n",
                 static_cast<unsigned long>(canUnloadNow()));
    if (provider != nullptr) {
        provider->Release();
    }
    factory->Release();
    const HRESULT unload = canUnloadNow();
    std::wprintf(L"DllCanUnloadNow after release: 0x%08lX\n", static_cast<unsigned long>(unload));
    return (SUCCEEDED(hr) && unload == S_OK) ? 0 : 1;
}
