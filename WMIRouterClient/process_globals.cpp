// The DLL's process-wide objects, defined in one place so that their order
// of construction (and, reversed, of destruction at unload) is the order
// written here.

#include "WMIRouterClient/process_globals.h"

#include "WMIRouterClient/log_contexts.h"
#include "WMIRouterClient/perf_data_source.h"
#include "common/common_library.h"

LogContext g_providerLogContext;
LogContext g_eventSourceLogContext;

// First, so that it is destroyed last: everything after it may write to it.
DiagnosticFile g_diagnosticFile;

// Released at unload by its destructor, after every poller has ended.
WMISharedMem<wmirouter_perf_t> g_routerBlock(true);

namespace {
// Destroyed just before the block is unmapped: a poller that is still alive
// (a process ending with a provider in use) is told to stop first.
struct PollerStopAtDetach {
    ~PollerStopAtDetach() { CPerfDataSource::StopPollerAtDetach(); }
} g_pollerStopAtDetach;
}  // namespace

// The common library's process-wide objects (timer references, the logger
// with its environment report and the thread registry, the Windows-1252 flag
// and charset table, the symbol engine), in their own fixed order. Nothing in
// this DLL starts the logger, so what library code offers it is dropped.
CommonLibrary g_commonLibrary;

std::atomic<CPerfDataSource*> g_dataSource{nullptr};
RecursiveLock g_dataSourceLock;
std::atomic<LONG> g_nameKeyHandle{0};
std::atomic<LONG> g_nextRefreshableId{10};
std::set<const IWbemRefresher*> g_liveRefreshers;
RecursiveLock g_liveRefreshersLock;
