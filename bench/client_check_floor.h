#pragma once

// The floor a Refresh is measured against: the provider's client check
// (CoImpersonateClient, then the thread-token query; CoRevertToSelf only
// when it refuses), which every Refresh makes, then one critical-section
// enter/leave and five DWORD stores for the lock and the five counters the
// refresh itself must take and write. Whatever Refresh costs beyond this is
// the rest of the provider's path.

#include <windows.h>

namespace bench {

// What the client check's calls answered on the calling thread.
struct ClientCheckPath {
    HRESULT impersonation = S_OK;  // CoImpersonateClient
    DWORD tokenError = 0;          // OpenThreadToken's error, 0 when it gave a token
};

class ClientCheckFloor {
public:
    ClientCheckFloor();
    ~ClientCheckFloor();
    ClientCheckFloor(const ClientCheckFloor&) = delete;
    ClientCheckFloor& operator=(const ClientCheckFloor&) = delete;

    // One floor call; `slots` is the caller's own five counters. Threads
    // share the one critical section, as refreshers share the provider's
    // one instance entry.
    void Call(volatile DWORD* slots, DWORD value);

    static ClientCheckPath Probe();

private:
    CRITICAL_SECTION section_;
};

}  // namespace bench
