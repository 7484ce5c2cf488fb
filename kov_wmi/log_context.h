#pragma once

#include "common/util/log_callback.h"

namespace kov_wmi {

// The toolkit's record: every report of its operations is copied here.
extern LogContext g_logContext;

}  // namespace kov_wmi
