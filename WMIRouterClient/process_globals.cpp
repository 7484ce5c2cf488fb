// The DLL's process-wide objects, defined in one place so that their order
// of construction (and, reversed, of destruction at unload) is the order
// written here.

#include "WMIRouterClient/process_globals.h"

#include "WMIRouterClient/log_contexts.h"

LogContext g_providerLogContext;
LogContext g_eventSourceLogContext;

// First, so that it is destroyed last: everything after it may write to it.
DiagnosticFile g_diagnosticFile;

// Released at unload by its destructor, after every poller has ended.
WMISharedMem<wmirouter_perf_t> g_routerBlock(true);

std::atomic<CPerfDataSource*> g_dataSource{nullptr};
RecursiveLock g_dataSourceLock;
std::atomic<LONG> g_nameKeyHandle{0};
std::atomic<LONG> g_nextRefreshableId{10};
std::set<const IWbemRefresher*> g_liveRefreshers;
RecursiveLock g_liveRefreshersLock;
