#pragma once

// The class factory COM receives from DllGetClassObject. It is not a counted
// object: a factory the caller still holds does not keep the module loaded.

#include "common/util/com_object.h"

class CPerfFactory final : public ComObject<IClassFactory> {
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;
};
