#pragma once

// The handles this process holds, from the system's handle table:
// GetProcessHandleCount answers 0 under Wine, so it cannot show a leak.

#include <utility>
#include <vector>

// The count, -1 when the table cannot be read. With `list`, the value and
// granted access of every handle counted are added to it.
long CountProcessHandles(std::vector<std::pair<unsigned, unsigned long>>* list = nullptr) noexcept;
