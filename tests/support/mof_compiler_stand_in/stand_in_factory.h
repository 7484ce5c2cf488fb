#pragma once

// The class factory DllGetClassObject hands out. Like the provider's, it is
// not counted: a factory still held does not keep the module loaded.

#include "common/util/com_object.h"

class StandInFactory final : public ComObject<IClassFactory> {
public:
    // Net LockServer(TRUE) calls, for DllCanUnloadNow.
    static LONG Locks() noexcept;

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;
};
