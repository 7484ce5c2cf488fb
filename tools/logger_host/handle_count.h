#pragma once

// The number of handles this process holds, from the system's handle table:
// GetProcessHandleCount answers 0 under Wine, so it cannot show a leak.

// -1 when the table cannot be read.
long CountProcessHandles() noexcept;
