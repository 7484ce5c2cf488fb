#pragma once

// The provider object WMI creates through the class factory. A counted
// object: while one exists the module stays loaded.

#include "common/util/com_object.h"
#include "WMIRouterClient/module.h"

class MFPerfProvider final : public ComObject<IUnknown> {
public:
    MFPerfProvider() = default;
    ~MFPerfProvider() override = default;

private:
    module::CountedObject counted_;
};
