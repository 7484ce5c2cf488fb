#pragma once

// The record the router service publishes in its shared counter block. The
// layout is shared with the router: do not change it.

#include <cstddef>
#include <cstdint>

struct wmirouter_perf_t {
    // Changed by the publisher with every new sample; compared for inequality only.
    std::int64_t update_stamp;
    std::uint8_t reserved0[8];
    // Each counter sits in the low four bytes of an 8-byte slot.
    std::uint32_t srv_conns;
    std::uint32_t srv_conns_high;
    std::uint32_t dev_conns;
    std::uint32_t dev_conns_high;
    std::uint32_t work_queue_size;
    std::uint32_t work_queue_size_high;
    std::uint32_t bypass_sent_msg;
    std::uint32_t bypass_sent_msg_high;
    std::uint32_t bypass_rcvd_msg;
    std::uint32_t bypass_rcvd_msg_high;
    std::uint8_t reserved1[35248];
};

static_assert(sizeof(wmirouter_perf_t) == 35304, "the router's block is 35304 bytes");
static_assert(offsetof(wmirouter_perf_t, srv_conns) == 16, "layout shared with the router");
static_assert(offsetof(wmirouter_perf_t, dev_conns) == 24, "layout shared with the router");
static_assert(offsetof(wmirouter_perf_t, work_queue_size) == 32, "layout shared with the router");
static_assert(offsetof(wmirouter_perf_t, bypass_sent_msg) == 40, "layout shared with the router");
static_assert(offsetof(wmirouter_perf_t, bypass_rcvd_msg) == 48, "layout shared with the router");

inline constexpr wchar_t kRouterBlockName[] = L"Global\\WMIZANRouterCounterPerformanceProvider";
constexpr unsigned kRouterBlockNameLimit = 255;
