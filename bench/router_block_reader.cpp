#include "bench/router_block_reader.h"

#include <atomic>

#include "tools/router-sim/publisher.h"

namespace bench {

bool RouterBlockReader::Open()
{
    Close();
    mapping_.reset(::OpenFileMappingW(FILE_MAP_READ, FALSE, kRouterBlockName));
    if (!mapping_) {
        return false;
    }
    view_.reset(::MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, sizeof(wmirouter_perf_t)));
    return IsOpen();
}

void RouterBlockReader::Close()
{
    view_.reset();
    mapping_.reset();
}

bool RouterBlockReader::Read(std::int64_t& stamp, std::int64_t& publishTicks) const
{
    const auto* block = static_cast<const volatile wmirouter_perf_t*>(view_.get());
    if (block == nullptr) {
        return false;
    }
    const std::int64_t before = block->update_stamp;
    std::atomic_thread_fence(std::memory_order_acquire);
    publishTicks = ReadPublishTime(block);
    std::atomic_thread_fence(std::memory_order_acquire);
    stamp = block->update_stamp;
    return stamp == before;
}

}  // namespace bench
