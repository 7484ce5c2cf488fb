#pragma once

// The router's counter block mapped read-only by the benchmark itself, to
// read the publish time router-sim --stamp-time leaves beside each sample.

#include <windows.h>

#include <cstdint>

#include "WMIRouterClient/wmirouter_perf.h"
#include "common/util/unique_resource.h"

namespace bench {

class RouterBlockReader {
public:
    bool Open();
    bool IsOpen() const { return static_cast<bool>(view_); }
    void Close();

    // The stamp and the publish time of one sample, when the stamp read
    // before and after the time agrees.
    bool Read(std::int64_t& stamp, std::int64_t& publishTicks) const;

private:
    unique_handle mapping_;
    unique_view view_;
};

}  // namespace bench
