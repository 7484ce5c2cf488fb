#pragma once

// Writes samples into the router's counter block the way the router does:
// the counters first, then a new stamp, so that a reader that sees the
// stamp change also sees every counter of that sample.

#include <cstdint>

#include "WMIRouterClient/wmirouter_perf.h"

struct RouterSample {
    std::uint32_t bypass_rcvd_msg;
    std::uint32_t bypass_sent_msg;
    std::uint32_t dev_conns;
    std::uint32_t work_queue_size;
    std::uint32_t srv_conns;
};

enum class SamplePattern {
    Same,     // all five counters carry the sequence number
    Traffic,  // five different, plausible-looking series
};

RouterSample MakeSample(SamplePattern pattern, std::uint32_t sequence);

void PublishSample(wmirouter_perf_t* block, const RouterSample& sample, std::int64_t stamp);

// As PublishSample, with the publish time (a QueryPerformanceCounter value,
// which is system-wide and so comparable across processes) in reserved0,
// written before the stamp like the counters. The provider never reads
// those bytes; a benchmark reads them to time the path to a client.
void PublishTimedSample(wmirouter_perf_t* block, const RouterSample& sample, std::int64_t stamp);

// The publish time PublishTimedSample left in the block.
std::int64_t ReadPublishTime(const volatile wmirouter_perf_t* block);
