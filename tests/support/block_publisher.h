#pragma once

// Plays the router in a test: creates the router's counter block under its
// fixed name and publishes samples into it. Tests that use it hold the
// "router_block" resource lock.

#include <cstdint>
#include <memory>

#include "WMIRouterClient/shared_mem.h"
#include "tools/router-sim/publisher.h"
#include "wait_until.h"

class BlockPublisher {
public:
    BlockPublisher();
    bool IsReady() const { return block_->IsMapped(); }
    void Publish(const RouterSample& sample, std::int64_t stamp);
    // Rewrites the counters and leaves the stamp as it is.
    void RewriteCounters(const RouterSample& sample);
    wmirouter_perf_t* Record() const { return block_->View(); }

private:
    std::unique_ptr<WMISharedMem<wmirouter_perf_t>> block_;
};
