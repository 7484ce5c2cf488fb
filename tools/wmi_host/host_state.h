#pragma once

// What every object of one host shares. Objects hold it by shared_ptr: a
// provider may keep host objects after the Host itself is gone.

#include <atomic>
#include <memory>
#include <utility>

#include "tools/wmi_host/fault_plan.h"

namespace wmihost {

struct HostState {
    std::atomic<long> liveObjects{0};
    FaultPlan faults;
};

// A member of every host COM object: counts it as live for its lifetime.
class LiveCount {
public:
    explicit LiveCount(std::shared_ptr<HostState> state) : state_(std::move(state))
    {
        ++state_->liveObjects;
    }
    ~LiveCount() { --state_->liveObjects; }
    LiveCount(const LiveCount&) = delete;
    LiveCount& operator=(const LiveCount&) = delete;

    const std::shared_ptr<HostState>& Shared() const { return state_; }
    FaultPlan& Faults() const { return state_->faults; }

private:
    std::shared_ptr<HostState> state_;
};

}  // namespace wmihost
