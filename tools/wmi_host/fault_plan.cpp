#include "tools/wmi_host/fault_plan.h"

namespace wmihost {

FaultPlan::FaultPlan() = default;

void FaultPlan::Fail(Operation op, int nth, HRESULT hr)
{
    Slot& slot = slots_[static_cast<int>(op)];
    // The result is stored before the trigger, so a call that sees the
    // trigger also sees the result.
    slot.result.store(hr);
    slot.failAt.store(nth <= 0 ? kEvery : slot.calls.load() + nth);
}

void FaultPlan::Clear()
{
    for (Slot& slot : slots_) {
        slot.failAt.store(kNever);
        slot.calls.store(0);
    }
}

int FaultPlan::Calls(Operation op) const
{
    return slots_[static_cast<int>(op)].calls.load();
}

bool FaultPlan::Trip(Operation op, HRESULT* hr)
{
    Slot& slot = slots_[static_cast<int>(op)];
    const int call = slot.calls.fetch_add(1) + 1;
    const int failAt = slot.failAt.load();
    if (failAt == kNever || (failAt != kEvery && failAt != call)) {
        return false;
    }
    *hr = slot.result.load();
    return true;
}

}  // namespace wmihost
