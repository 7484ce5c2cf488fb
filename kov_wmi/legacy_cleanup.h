#pragma once

// Removal of the maker's older counter providers: the installer component
// that recorded the old DLL, the old service's Performance keys, the old COM
// registration and the DLL file (and, for the agent, its WMI classes). Every
// report has severity 4; both always return true. The agent clean-up
// compiles MOF text: the caller's thread must have initialised COM.

#include "common/util/log_callback.h"

namespace kov_wmi {

bool RemoveOldRouterCounters(LogCallback callback);
bool RemoveOldAgentCounters(LogCallback callback);

}  // namespace kov_wmi
