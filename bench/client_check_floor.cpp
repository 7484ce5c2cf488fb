#include "bench/client_check_floor.h"

#include "WMIRouterClient/client_check.h"
#include "common/util/unique_resource.h"

namespace bench {

ClientCheckFloor::ClientCheckFloor() { ::InitializeCriticalSection(&section_); }

ClientCheckFloor::~ClientCheckFloor() { ::DeleteCriticalSection(&section_); }

void ClientCheckFloor::Call(volatile DWORD* slots, DWORD value)
{
    // The provider's own check, linked in: the same calls, made the same way.
    HRESULT impersonation = S_OK;
    if (::CheckClient(impersonation) != S_OK) {
        return;
    }
    ::EnterCriticalSection(&section_);
    for (int i = 0; i < 5; ++i) {
        slots[i] = value + static_cast<DWORD>(i);
    }
    ::LeaveCriticalSection(&section_);
}

ClientCheckPath ClientCheckFloor::Probe()
{
    ClientCheckPath path;
    ::CheckClient(path.impersonation);
    unique_handle token;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
        path.tokenError = ::GetLastError();
    }
    return path;
}

}  // namespace bench
