#pragma once

// What this process holds right now, for tests that prove a workload leaves
// nothing behind. The platform's own GetProcessHandleCount answers 0 under
// Wine, so handles are counted from the system's handle table.

#include <windows.h>

#include <utility>
#include <vector>

struct ProcessCensus {
    long handles = -1;
    // Value and granted access of every handle counted, for the report of a
    // census that does not match.
    std::vector<std::pair<unsigned, unsigned long>> handleList;
    long threads = -1;
    long mappedViews = -1;

    static ProcessCensus Take();
    bool operator==(const ProcessCensus& other) const
    {
        return handles == other.handles && threads == other.threads && mappedViews == other.mappedViews;
    }
};

#include <ostream>
inline std::ostream& operator<<(std::ostream& out, const ProcessCensus& census)
{
    out << "{handles " << census.handles << ", threads " << census.threads << ", mapped views "
               << census.mappedViews << "}";
    out << std::hex;
    for (const auto& [value, access] : census.handleList) {
        out << " " << value << ":" << access;
    }
    return out << std::dec;
}
