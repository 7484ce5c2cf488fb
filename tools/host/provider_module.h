#pragma once

// The provider DLL loaded by path with its four exports bound, as COM loads
// an in-process server.

#include <windows.h>
#include <objbase.h>

#include <string>

#include "common/util/unique_resource.h"

// A file in the folder of the running program, where the DLL, the class
// definition and the tools are installed side by side.
std::wstring FileBesideProgram(const wchar_t* name);

// {72390812-EE29-4309-9B19-ACF198DDB069}
extern const CLSID kRouterPerfClientClsid;

class ProviderModule {
public:
    // False when the DLL cannot be loaded or lacks an export; Error() says why.
    bool Load(const wchar_t* path);
    void Unload();
    bool IsLoaded() const { return static_cast<bool>(module_); }
    const std::wstring& Error() const { return error_; }

    HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) const;
    HRESULT CanUnloadNow() const;
    HRESULT RegisterServer() const;
    HRESULT UnregisterServer() const;

private:
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using NoArgumentFn = HRESULT(STDAPICALLTYPE*)();

    unique_module module_;
    GetClassObjectFn getClassObject_ = nullptr;
    NoArgumentFn canUnloadNow_ = nullptr;
    NoArgumentFn registerServer_ = nullptr;
    NoArgumentFn unregisterServer_ = nullptr;
    std::wstring error_;
};
