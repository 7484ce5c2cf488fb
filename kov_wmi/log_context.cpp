#include "log_context.h"

namespace kov_wmi {

// Constant-initialised: valid (marker 51) before any code of the module runs.
LogContext g_logContext;

}  // namespace kov_wmi
