#pragma once

// Security attributes that admit the BUILTIN\Administrators group only, as
// the counter block and the poller thread are created with.

#include <windows.h>
#include <aclapi.h>

#include "common/util/unique_resource.h"

class AdministratorsOnlySecurity {
public:
    enum class Step { None, Descriptor, Sid, Acl };

    AdministratorsOnlySecurity() = default;
    AdministratorsOnlySecurity(const AdministratorsOnlySecurity&) = delete;
    AdministratorsOnlySecurity& operator=(const AdministratorsOnlySecurity&) = delete;

    // Builds the descriptor: revision 1, a DACL with one entry granting
    // section map-read and map-write (6) to the administrators group. Returns
    // the step that failed (None on success) and its system error code.
    Step Build(DWORD& error) noexcept;

    // 24 bytes, the descriptor above, an inheritable handle. Valid after a
    // successful Build for as long as this object lives.
    SECURITY_ATTRIBUTES* Attributes() noexcept { return &attributes_; }

private:
    SECURITY_DESCRIPTOR descriptor_ = {};
    unique_sid administrators_;
    unique_local<PACL> acl_;
    SECURITY_ATTRIBUTES attributes_ = {};
};
