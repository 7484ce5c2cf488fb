#pragma once

// The provider's process-wide objects.

#include <windows.h>

#include <wbemcli.h>

#include <atomic>
#include <set>

#include "WMIRouterClient/diagnostic_log.h"
#include "WMIRouterClient/shared_mem.h"
#include "WMIRouterClient/wmirouter_perf.h"

// The router's counter block as the provider reads it. Administrators-only
// creation is on, though the provider itself only ever opens the block.
extern WMISharedMem<wmirouter_perf_t> g_routerBlock;

class CPerfDataSource;

// The counter data source shared by every provider object and refresher,
// and the lock under which it is created and destroyed.
extern std::atomic<CPerfDataSource*> g_dataSource;
extern RecursiveLock g_dataSourceLock;

// The IWbemObjectAccess handle of the key property "Name"; 0 until fetched.
extern std::atomic<LONG> g_nameKeyHandle;

// The id of the next refreshable object any refresher hands out; ids start
// at 10 (below are enumerator slots) and are never reused.
extern std::atomic<LONG> g_nextRefreshableId;

// The refreshers alive in this module, so that a refresher pointer WMI hands
// back can be recognised before it is used as one of ours.
extern std::set<const IWbemRefresher*> g_liveRefreshers;
extern RecursiveLock g_liveRefreshersLock;

// The module's own diagnostic log file. A namespace-scope object rather than
// a function's static: the guarded first use of a local static goes through
// the threads runtime, which keeps a record (an event and a duplicate thread
// handle) for the calling thread that is never freed once the DLL is unloaded
// before that thread ends.
extern DiagnosticFile g_diagnosticFile;
