#pragma once

// WMI schema maintenance for the maker's counter providers: compiling a MOF
// file, deleting a class, and taking a provider's MOF file off the list WMI
// recompiles when it rebuilds its repository. The caller's thread must have
// initialised COM.

#include "common/util/log_callback.h"

namespace kov_wmi {

// True when the file was compiled into the repository.
bool CompileMOFile(const wchar_t* path, LogCallback callback);

// Deletes the class with a deleteclass pragma, then (whatever that gave)
// takes its MOF file off the autorecover list. The compile result.
bool RemoveClassFromWBEM(const wchar_t* className, LogCallback callback);

// The text of a failing compile phase.
const wchar_t* CompilePhaseText(long phase);

}  // namespace kov_wmi

// Removes every "Autorecover MOFs" entry that names the class's MOF file.
// False for an empty or unknown class or a failed write; true otherwise,
// also when there was nothing to remove.
bool RemoveClassFromRegistry(const char* className, LogCallback callback);
