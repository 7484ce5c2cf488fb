#include "tools/host/handle_table.h"

#include <windows.h>

#include <vector>

namespace {

// The layout of SystemHandleInformation (class 16), which winternl.h leaves out.
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

}  // namespace

long CountProcessHandles(std::vector<std::pair<unsigned, unsigned long>>* list) noexcept
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        return -1;
    }
    auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQuerySystemInformation")));
    if (query == nullptr) {
        return -1;
    }
    try {
        std::vector<unsigned char> buffer(1 << 16);
        LONG status = 0;
        for (int attempt = 0; attempt < 16; ++attempt) {
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
        // The table keeps only the low 16 bits of a process identifier.
        const USHORT self = static_cast<USHORT>(::GetCurrentProcessId());
        long count = 0;
        for (ULONG i = 0; i < table->count; ++i) {
            if (table->entries[i].processId == self) {
                ++count;
                if (list != nullptr) {
                    list->emplace_back(table->entries[i].handleValue, table->entries[i].grantedAccess);
                }
            }
        }
        return count;
    } catch (...) {
        return -1;
    }
}
