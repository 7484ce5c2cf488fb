#pragma once

// What this process holds right now, for tests that prove a workload leaves
// nothing behind. The platform's own GetProcessHandleCount answers 0 under
// Wine, so handles are counted from the system's handle table.

#include <windows.h>

struct ProcessCensus {
    long handles = -1;
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
    return out << "{handles " << census.handles << ", threads " << census.threads << ", mapped views "
               << census.mappedViews << "}";
}
