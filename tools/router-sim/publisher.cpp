#include "publisher.h"

#include <windows.h>

RouterSample MakeSample(SamplePattern pattern, std::uint32_t n)
{
    if (pattern == SamplePattern::Same) {
        return {n, n, n, n, n};
    }
    return {10 * n, 9 * n, 100 + n % 7, n % 13, 4 + n % 3};
}

void PublishSample(wmirouter_perf_t* block, const RouterSample& sample, std::int64_t stamp)
{
    volatile wmirouter_perf_t* target = block;
    target->srv_conns = sample.srv_conns;
    target->dev_conns = sample.dev_conns;
    target->work_queue_size = sample.work_queue_size;
    target->bypass_sent_msg = sample.bypass_sent_msg;
    target->bypass_rcvd_msg = sample.bypass_rcvd_msg;
    // A full barrier: no reader in any process sees the stamp before the counters.
    ::InterlockedExchange64(&block->update_stamp, stamp);
}
