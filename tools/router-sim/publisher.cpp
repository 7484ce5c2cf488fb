#include "publisher.h"

#include <windows.h>

RouterSample MakeSample(SamplePattern pattern, std::uint32_t n)
{
    if (pattern == SamplePattern::Same) {
        return {n, n, n, n, n};
    }
    return {10 * n, 9 * n, 100 + n % 7, n % 13, 4 + n % 3};
}

namespace {

void WriteCounters(volatile wmirouter_perf_t* target, const RouterSample& sample)
{
    target->srv_conns = sample.srv_conns;
    target->dev_conns = sample.dev_conns;
    target->work_queue_size = sample.work_queue_size;
    target->bypass_sent_msg = sample.bypass_sent_msg;
    target->bypass_rcvd_msg = sample.bypass_rcvd_msg;
}

// reserved0 sits at offset 8: an aligned 8-byte slot, written and read whole.
volatile std::int64_t* PublishTimeSlot(volatile wmirouter_perf_t* block)
{
    return reinterpret_cast<volatile std::int64_t*>(block->reserved0);
}

}  // namespace

void PublishSample(wmirouter_perf_t* block, const RouterSample& sample, std::int64_t stamp)
{
    WriteCounters(block, sample);
    // A full barrier: no reader in any process sees the stamp before the counters.
    ::InterlockedExchange64(&block->update_stamp, stamp);
}

void PublishTimedSample(wmirouter_perf_t* block, const RouterSample& sample, std::int64_t stamp)
{
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    WriteCounters(block, sample);
    *PublishTimeSlot(block) = now.QuadPart;
    ::InterlockedExchange64(&block->update_stamp, stamp);
}

std::int64_t ReadPublishTime(const volatile wmirouter_perf_t* block)
{
    return *PublishTimeSlot(const_cast<volatile wmirouter_perf_t*>(block));
}
