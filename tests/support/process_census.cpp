#include "process_census.h"

#include <tlhelp32.h>

#include <vector>

#include "common/util/unique_resource.h"

namespace {

struct HandleEntry {
    USHORT processId;
    USHORT creatorBackTraceIndex;
    UCHAR objectTypeIndex;
    UCHAR attributes;
    USHORT handleValue;
    PVOID object;
    ULONG grantedAccess;
};

struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004L);

long CountHandles(std::vector<std::pair<unsigned, unsigned long>>& list)
{
    auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        return -1;
    }
    std::vector<unsigned char> buffer(1 << 16);
    LONG status = 0;
    for (;;) {
        ULONG needed = 0;
        status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status != kInfoLengthMismatch) {
            break;
        }
        buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 4096);
    }
    if (status < 0) {
        return -1;
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    const USHORT self = static_cast<USHORT>(::GetCurrentProcessId());
    long count = 0;
    for (ULONG i = 0; i < table->count; ++i) {
        if (table->entries[i].processId == self) {
            ++count;
            list.emplace_back(table->entries[i].handleValue, table->entries[i].grantedAccess);
        }
    }
    return count;
}

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
    census.handles = CountHandles(census.handleList);
    census.threads = CountThreads();
    census.mappedViews = CountMappedViews();
    return census;
}
