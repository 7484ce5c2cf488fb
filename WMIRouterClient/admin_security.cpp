#include "admin_security.h"

AdministratorsOnlySecurity::Step AdministratorsOnlySecurity::Build(DWORD& error) noexcept
{
    error = 0;
    if (!::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION)) {
        error = ::GetLastError();
        return Step::Descriptor;
    }
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                    DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                    administrators_.put())) {
        error = ::GetLastError();
        return Step::Sid;
    }
    EXPLICIT_ACCESS_A access = {};
    access.grfAccessPermissions = FILE_MAP_READ | FILE_MAP_WRITE;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    access.Trustee.ptstrName = static_cast<LPSTR>(administrators_.get());
    // The call returns its error rather than setting the thread's last error.
    const DWORD aclResult = ::SetEntriesInAclA(1, &access, nullptr, acl_.put());
    if (aclResult != ERROR_SUCCESS) {
        error = aclResult;
        return Step::Acl;
    }
    if (!::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl_.get(), FALSE)) {
        error = ::GetLastError();
        return Step::Acl;
    }
    attributes_.nLength = sizeof(SECURITY_ATTRIBUTES);
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = TRUE;
    return Step::None;
}
