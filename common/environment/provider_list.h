#pragma once

// The names of the installed OLE DB providers, as the root enumerator lists
// them. Failures go to the callback (when it is usable) and give an empty
// list; the list belongs to the caller.

#include <string>
#include <vector>

#include "common/util/log_callback.h"

std::vector<std::wstring> provider_list(LogCallback callback);
