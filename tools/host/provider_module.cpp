#include "provider_module.h"

const CLSID kRouterPerfClientClsid = {
    0x72390812, 0xEE29, 0x4309, {0x9B, 0x19, 0xAC, 0xF1, 0x98, 0xDD, 0xB0, 0x69}};

std::wstring FileBesideProgram(const wchar_t* name)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    folder.resize(folder.find_last_of(L'\\') + 1);
    return folder + name;
}

namespace {
template <typename Fn>
Fn Bind(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}
}  // namespace

bool ProviderModule::Load(const wchar_t* path)
{
    Unload();
    module_.reset(::LoadLibraryW(path));
    if (!module_) {
        error_ = std::wstring(L"cannot load ") + path + L" (error " +
                 std::to_wstring(::GetLastError()) + L")";
        return false;
    }
    getClassObject_ = Bind<GetClassObjectFn>(module_.get(), "DllGetClassObject");
    canUnloadNow_ = Bind<NoArgumentFn>(module_.get(), "DllCanUnloadNow");
    registerServer_ = Bind<NoArgumentFn>(module_.get(), "DllRegisterServer");
    unregisterServer_ = Bind<NoArgumentFn>(module_.get(), "DllUnregisterServer");
    if (!getClassObject_ || !canUnloadNow_ || !registerServer_ || !unregisterServer_) {
        error_ = std::wstring(path) + L" is not a COM server: an export is missing";
        Unload();
        return false;
    }
    error_.clear();
    return true;
}

void ProviderModule::Unload()
{
    getClassObject_ = nullptr;
    canUnloadNow_ = registerServer_ = unregisterServer_ = nullptr;
    module_.reset();
}

HRESULT ProviderModule::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) const
{
    return getClassObject_ ? getClassObject_(rclsid, riid, ppv) : E_UNEXPECTED;
}

HRESULT ProviderModule::CanUnloadNow() const
{
    return canUnloadNow_ ? canUnloadNow_() : E_UNEXPECTED;
}

HRESULT ProviderModule::RegisterServer() const
{
    return registerServer_ ? registerServer_() : E_UNEXPECTED;
}

HRESULT ProviderModule::UnregisterServer() const
{
    return unregisterServer_ ? unregisterServer_() : E_UNEXPECTED;
}
