#pragma once

// Registration of an in-process COM server's class under HKEY_LOCAL_MACHINE:
//   Software\Classes\CLSID\{...}            default: the class name
//     InprocServer32                        default: module path, ThreadingModel "Both"
//     NotInsertable
//     ProgID                                default: the ProgID
//     VersionIndependentProgID              default: that ProgID (only when given)
// An existing class key is left as it is. Failures are reported through the
// optional callback at severity 1.

#include <windows.h>

#include "common/util/log_callback.h"

namespace kov_wmi {

bool RegisterCOM(REFGUID clsid, HINSTANCE module, const wchar_t* name, const wchar_t* progId,
                 const wchar_t* versionIndependentProgId, LogCallback callback);

bool RegisterCOM(REFGUID clsid, const wchar_t* modulePath, const wchar_t* name, const wchar_t* progId,
                 const wchar_t* versionIndependentProgId, LogCallback callback);

// Removes the class key with everything below it; a missing key counts as removed.
bool UnregisterCOM(REFGUID clsid, LogCallback callback);

}  // namespace kov_wmi
