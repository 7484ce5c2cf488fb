#include "block_publisher.h"

BlockPublisher::BlockPublisher() : block_(std::make_unique<WMISharedMem<wmirouter_perf_t>>(true))
{
    block_->Initialize(FILE_MAP_READ | FILE_MAP_WRITE, nullptr);
}

void BlockPublisher::Publish(const RouterSample& sample, std::int64_t stamp)
{
    PublishSample(block_->View(), sample, stamp);
}

void BlockPublisher::RewriteCounters(const RouterSample& sample)
{
    PublishSample(block_->View(), sample, block_->View()->update_stamp);
}
