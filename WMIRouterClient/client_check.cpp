#include "client_check.h"

#include <objbase.h>
#include <wbemcli.h>

#include "common/util/unique_resource.h"

DWORD GetImpersonationLevel() noexcept
{
    unique_handle token;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
        const DWORD error = ::GetLastError();
        return (error == ERROR_NO_IMPERSONATION_TOKEN || error == ERROR_NO_TOKEN)
                   ? RPC_C_IMP_LEVEL_DELEGATE
                   : RPC_C_IMP_LEVEL_ANONYMOUS;
    }
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenImpersonationLevel, &level, sizeof(level), &size)) {
        return RPC_C_IMP_LEVEL_ANONYMOUS;
    }
    switch (level) {
    case SecurityIdentification: return RPC_C_IMP_LEVEL_IDENTIFY;
    case SecurityImpersonation: return RPC_C_IMP_LEVEL_IMPERSONATE;
    case SecurityDelegation: return RPC_C_IMP_LEVEL_DELEGATE;
    default: return RPC_C_IMP_LEVEL_ANONYMOUS;
    }
}

HRESULT CheckClient(HRESULT& impersonation) noexcept
{
    impersonation = ::CoImpersonateClient();
    if (FAILED(impersonation) && impersonation != RPC_E_CALL_COMPLETE) {
        return impersonation;
    }
    if (GetImpersonationLevel() < RPC_C_IMP_LEVEL_IMPERSONATE) {
        // Outside a COM call there is no call context to revert through; the
        // thread's own impersonation is dropped instead.
        if (FAILED(::CoRevertToSelf())) {
            ::RevertToSelf();
        }
        return WBEM_E_ACCESS_DENIED;
    }
    return S_OK;
}
