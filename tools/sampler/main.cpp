// router-sampler: loads the provider DLL as COM would and shows that it
// serves its class.

#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "tools/host/provider_module.h"

namespace {

void Usage(FILE* out)
{
    std::fwprintf(out,
                  L"usage: router-sampler [--dll PATH]\n"
                  L"  Loads the router client provider (default: RouterPerfClient.dll beside\n"
                  L"  this program), asks it for its class factory and creates a provider.\n");
}

unsigned long Code(HRESULT hr) { return static_cast<unsigned long>(hr); }

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* dllPath = L"RouterPerfClient.dll";
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--dll") == 0 && i + 1 < argc) {
            dllPath = argv[++i];
        } else if (std::wcscmp(argv[i], L"--help") == 0) {
            Usage(stdout);
            return 0;
        } else {
            Usage(stderr);
            return 2;
        }
    }

    ProviderModule provider;
    if (!provider.Load(dllPath)) {
        std::fwprintf(stderr, L"router-sampler: %ls\n", provider.Error().c_str());
        return 1;
    }

    IClassFactory* factory = nullptr;
    HRESULT hr = provider.GetClassObject(kRouterPerfClientClsid, IID_IClassFactory,
                                         reinterpret_cast<void**>(&factory));
    std::wprintf(L"DllGetClassObject({72390812-EE29-4309-9B19-ACF198DDB069}, IClassFactory): 0x%08lX\n",
                 Code(hr));
    if (FAILED(hr)) {
        return 1;
    }
    IUnknown* object = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object));
    std::wprintf(L"IClassFactory::CreateInstance(IUnknown): 0x%08lX\n", Code(hr));
    std::wprintf(L"DllCanUnloadNow with a provider alive: 0x%08lX\n", Code(provider.CanUnloadNow()));
    if (object != nullptr) {
        object->Release();
    }
    factory->Release();
    const HRESULT unload = provider.CanUnloadNow();
    std::wprintf(L"DllCanUnloadNow after release: 0x%08lX\n", Code(unload));
    return (SUCCEEDED(hr) && unload == S_OK) ? 0 : 1;
}
