#include "process_census.h"

#include <tlhelp32.h>

#include <vector>

#include "common/util/unique_resource.h"
#include "tools/host/handle_table.h"

namespace {

long CountThreads()
{
    unique_file snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) {
        return -1;
    }
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    long count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        count += entry.th32OwnerProcessID == ::GetCurrentProcessId() ? 1 : 0;
    }
    return count;
}

long CountMappedViews()
{
    long count = 0;
    const unsigned char* address = nullptr;
    const void* lastBase = nullptr;
    MEMORY_BASIC_INFORMATION info = {};
    while (::VirtualQuery(address, &info, sizeof info) == sizeof info) {
        if (info.Type == MEM_MAPPED && info.State != MEM_FREE && info.AllocationBase != lastBase) {
            ++count;
            lastBase = info.AllocationBase;
        }
        const unsigned char* next = static_cast<const unsigned char*>(info.BaseAddress) + info.RegionSize;
        if (next <= address) {
            break;
        }
        address = next;
    }
    return count;
}

}  // namespace

ProcessCensus ProcessCensus::Take()
{
    ProcessCensus census;
    census.handles = CountProcessHandles(&census.handleList);
    census.threads = CountThreads();
    census.mappedViews = CountMappedViews();
    return census;
}
