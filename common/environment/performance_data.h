#pragma once

// Walks over the data blocks that HKEY_PERFORMANCE_DATA answers, as pure
// functions of the bytes and their size. Every length and offset read from a
// block is checked against the block before it is followed, so a short or
// malformed block is reported as such instead of being read past its end.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The system object's "System Up Time" counter.
constexpr std::uint32_t kSystemUpTimeCounter = 674;
// At most this many instances of the process object are listed.
constexpr std::size_t kMaxProcessInstances = 256;

enum class PerformanceWalk {
    Ok,
    BadHeaderLengths,  // the block's header is not shorter than the block
    Malformed,         // too short, or a length or offset leads outside
    CounterMissing,    // well formed, without the counter asked for
};

struct UpTimeWalk {
    PerformanceWalk status = PerformanceWalk::Malformed;
    // Seconds since the system started; -1 unless status is Ok, and -1 too
    // when the counter lies ahead of the object's performance time.
    std::int64_t seconds = -1;
    // The block's own figures, for the report of bad header lengths.
    std::uint32_t headerLength = 0;
    std::uint32_t totalByteLength = 0;
};

// The up time from the first object of a block (the system object, which
// has no instances).
UpTimeWalk WalkSystemUpTime(const void* block, std::size_t size) noexcept;

struct PerformanceProcess {
    std::wstring name;
    std::uint32_t id = 0;
};

// The instances of the first object of a block that begins with "PERF", with
// the value of the counter `idCounterIndex` as each one's identifier. An
// object without instances gives none. Malformed when the block is too short
// or not marked, a length leads outside it, or the object has instances but
// no such counter.
PerformanceWalk WalkProcessInstances(const void* block, std::size_t size,
                                     std::uint32_t idCounterIndex,
                                     std::vector<PerformanceProcess>& processes) noexcept;

// From the "Counters" list (index, name, index, name, ...): the index text
// of "process" (the value name to query) and the index of "id process".
struct ProcessCounterIndexes {
    std::wstring processIndex;  // empty when the list has no "process"
    std::uint32_t idProcessIndex = 0;
    bool hasIdProcess = false;
};
ProcessCounterIndexes FindProcessCounters(const std::vector<std::wstring>& counterTexts);
