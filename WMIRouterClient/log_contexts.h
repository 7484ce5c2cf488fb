#pragma once

// The context records of the DLL's reporting components; each receives a
// copy of every message its component reports.

#include "common/util/log_callback.h"

// The block object, the counter data source and the refresher.
extern LogContext g_providerLogContext;

// The event-source operations.
extern LogContext g_eventSourceLogContext;
