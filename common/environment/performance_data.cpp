#include "common/environment/performance_data.h"

#include <windows.h>
#include <winperf.h>

#include <cstring>
#include <cwchar>
#include <cwctype>

namespace {

// Copies a T that lies wholly inside [0, limit) of the block; blocks from a
// test or a buggy collector need not be aligned.
template <typename T>
bool ReadAt(const BYTE* block, std::size_t limit, std::size_t offset, T& value) noexcept
{
    if (offset > limit || limit - offset < sizeof(T)) {
        return false;
    }
    std::memcpy(&value, block + offset, sizeof(T));
    return true;
}

// offset + length, refused when it overflows or passes the limit.
bool Advance(std::size_t offset, std::size_t length, std::size_t limit, std::size_t& next) noexcept
{
    if (offset > limit || length > limit - offset) {
        return false;
    }
    next = offset + length;
    return true;
}

// The block's header; its own total length limits every later read.
bool ReadDataBlock(const BYTE* block, std::size_t size, PERF_DATA_BLOCK& header,
                   std::size_t& limit) noexcept
{
    if (block == nullptr || !ReadAt(block, size, 0, header)) {
        return false;
    }
    if (header.TotalByteLength > size) {
        return false;
    }
    limit = header.TotalByteLength;
    return true;
}

// The first object type, and where it ends.
bool ReadFirstObject(const BYTE* block, std::size_t limit, const PERF_DATA_BLOCK& header,
                     PERF_OBJECT_TYPE& object, std::size_t& objectAt, std::size_t& objectEnd) noexcept
{
    objectAt = header.HeaderLength;
    if (!ReadAt(block, limit, objectAt, object)) {
        return false;
    }
    if (!Advance(objectAt, object.TotalByteLength, limit, objectEnd)) {
        return false;
    }
    // The definitions and what follows them lie inside the object.
    return object.HeaderLength >= sizeof(PERF_OBJECT_TYPE) &&
           object.HeaderLength <= object.DefinitionLength &&
           object.DefinitionLength <= object.TotalByteLength;
}

// The counter definition with `nameIndex` among the object's definitions.
enum class Lookup { Found, Missing, Malformed };
Lookup FindCounter(const BYTE* block, std::size_t objectAt, const PERF_OBJECT_TYPE& object,
                   std::uint32_t nameIndex, PERF_COUNTER_DEFINITION& counter) noexcept
{
    const std::size_t definitionsEnd = objectAt + object.DefinitionLength;
    std::size_t at = objectAt + object.HeaderLength;
    for (DWORD i = 0; i < object.NumCounters; ++i) {
        PERF_COUNTER_DEFINITION definition;
        if (!ReadAt(block, definitionsEnd, at, definition) ||
            definition.ByteLength < sizeof(PERF_COUNTER_DEFINITION)) {
            return Lookup::Malformed;
        }
        if (definition.CounterNameTitleIndex == nameIndex) {
            counter = definition;
            return Lookup::Found;
        }
        at += definition.ByteLength;
    }
    return Lookup::Missing;
}

}  // namespace

UpTimeWalk WalkSystemUpTime(const void* data, std::size_t size) noexcept
{
    UpTimeWalk walk;
    const BYTE* const block = static_cast<const BYTE*>(data);
    PERF_DATA_BLOCK header;
    if (block == nullptr || !ReadAt(block, size, 0, header)) {
        return walk;
    }
    walk.headerLength = header.HeaderLength;
    walk.totalByteLength = header.TotalByteLength;
    if (header.HeaderLength >= header.TotalByteLength) {
        walk.status = PerformanceWalk::BadHeaderLengths;
        return walk;
    }
    std::size_t limit = 0;
    PERF_OBJECT_TYPE object;
    std::size_t objectAt = 0;
    std::size_t objectEnd = 0;
    if (!ReadDataBlock(block, size, header, limit) ||
        !ReadFirstObject(block, limit, header, object, objectAt, objectEnd)) {
        return walk;
    }
    PERF_COUNTER_DEFINITION counter;
    switch (FindCounter(block, objectAt, object, kSystemUpTimeCounter, counter)) {
    case Lookup::Malformed:
        return walk;
    case Lookup::Missing:
        walk.status = PerformanceWalk::CounterMissing;
        return walk;
    case Lookup::Found:
        break;
    }
    // The system object has no instances: its counter block follows the
    // definitions.
    const std::size_t counters = objectAt + object.DefinitionLength;
    std::size_t valueAt = 0;
    LONGLONG started = 0;
    if (!Advance(counters, counter.CounterOffset, objectEnd, valueAt) ||
        !ReadAt(block, objectEnd, valueAt, started)) {
        return walk;
    }
    const LONGLONG now = object.PerfTime.QuadPart;
    const LONGLONG frequency = object.PerfFreq.QuadPart;
    if (frequency <= 0) {
        return walk;
    }
    walk.status = PerformanceWalk::Ok;
    walk.seconds = now >= started ? (now - started) / frequency : -1;
    return walk;
}

PerformanceWalk WalkProcessInstances(const void* data, std::size_t size,
                                     std::uint32_t idCounterIndex,
                                     std::vector<PerformanceProcess>& processes) noexcept
{
    try {
        processes.clear();
        const BYTE* const block = static_cast<const BYTE*>(data);
        PERF_DATA_BLOCK header;
        std::size_t limit = 0;
        if (!ReadDataBlock(block, size, header, limit) ||
            std::wmemcmp(header.Signature, L"PERF", 4) != 0 || header.NumObjectTypes == 0) {
            return PerformanceWalk::Malformed;
        }
        PERF_OBJECT_TYPE object;
        std::size_t objectAt = 0;
        std::size_t objectEnd = 0;
        if (!ReadFirstObject(block, limit, header, object, objectAt, objectEnd)) {
            return PerformanceWalk::Malformed;
        }
        // PERF_NO_INSTANCES (-1) and 0 both mean there is nothing to list.
        if (object.NumInstances <= 0) {
            return PerformanceWalk::Ok;
        }
        PERF_COUNTER_DEFINITION idCounter;
        if (FindCounter(block, objectAt, object, idCounterIndex, idCounter) != Lookup::Found) {
            return PerformanceWalk::Malformed;
        }
        const std::size_t count = static_cast<std::size_t>(object.NumInstances) < kMaxProcessInstances
                                      ? static_cast<std::size_t>(object.NumInstances)
                                      : kMaxProcessInstances;
        std::size_t at = objectAt + object.DefinitionLength;
        for (std::size_t i = 0; i < count; ++i) {
            PERF_INSTANCE_DEFINITION instance;
            std::size_t instanceEnd = 0;
            if (!ReadAt(block, objectEnd, at, instance) ||
                instance.ByteLength < sizeof(PERF_INSTANCE_DEFINITION) ||
                !Advance(at, instance.ByteLength, objectEnd, instanceEnd)) {
                return PerformanceWalk::Malformed;
            }
            std::size_t nameAt = 0;
            std::size_t nameEnd = 0;
            if (!Advance(at, instance.NameOffset, instanceEnd, nameAt) ||
                !Advance(nameAt, instance.NameLength, instanceEnd, nameEnd)) {
                return PerformanceWalk::Malformed;
            }
            // NameLength counts bytes with the terminator; stop at the first zero.
            std::wstring name;
            for (std::size_t unit = nameAt; unit + sizeof(wchar_t) <= nameEnd; unit += sizeof(wchar_t)) {
                wchar_t c;
                std::memcpy(&c, block + unit, sizeof(c));
                if (c == L'\0') {
                    break;
                }
                name.push_back(c);
            }
            PERF_COUNTER_BLOCK counters;
            std::size_t countersEnd = 0;
            std::size_t idAt = 0;
            DWORD id = 0;
            if (!ReadAt(block, objectEnd, instanceEnd, counters) ||
                counters.ByteLength < sizeof(PERF_COUNTER_BLOCK) ||
                !Advance(instanceEnd, counters.ByteLength, objectEnd, countersEnd) ||
                !Advance(instanceEnd, idCounter.CounterOffset, countersEnd, idAt) ||
                !ReadAt(block, countersEnd, idAt, id)) {
                return PerformanceWalk::Malformed;
            }
            processes.push_back(PerformanceProcess{std::move(name), id});
            at = countersEnd;
        }
        return PerformanceWalk::Ok;
    } catch (...) {
        // Only an allocation for the list can throw.
        processes.clear();
        return PerformanceWalk::Malformed;
    }
}

ProcessCounterIndexes FindProcessCounters(const std::vector<std::wstring>& counterTexts)
{
    ProcessCounterIndexes found;
    for (std::size_t i = 1; i < counterTexts.size(); ++i) {
        const std::wstring& text = counterTexts[i];
        const std::wstring& index = counterTexts[i - 1];
        if (_wcsicmp(text.c_str(), L"process") == 0) {
            // The digits that end the index text, as the value name.
            std::size_t start = index.size();
            while (start > 0 && std::iswdigit(index[start - 1])) {
                --start;
            }
            found.processIndex = index.substr(start);
        } else if (_wcsicmp(text.c_str(), L"id process") == 0) {
            found.idProcessIndex = static_cast<std::uint32_t>(std::wcstoul(index.c_str(), nullptr, 10));
            found.hasIdProcess = true;
        }
    }
    return found;
}
