#pragma once

// The check that opens every provider method that serves a client: the
// caller must allow at least impersonation.

#include <windows.h>

// RPC_C_IMP_LEVEL_* of the calling thread: 1 anonymous, 2 identify,
// 3 impersonate, 4 delegate. A thread that is not impersonating counts as 4.
DWORD GetImpersonationLevel() noexcept;

// S_OK when the method may go on, with `impersonation` set to what
// CoImpersonateClient answered (S_OK, or RPC_E_CALL_COMPLETE outside a COM
// call). Otherwise the result the method returns: the impersonation failure,
// or WBEM_E_ACCESS_DENIED (after reverting) below impersonate level.
HRESULT CheckClient(HRESULT& impersonation) noexcept;
