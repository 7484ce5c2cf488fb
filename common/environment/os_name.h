#pragma once

// A readable name of the Windows edition the process runs on, such as
// "Windows XP Home Edition Service Pack 3 x64".

#include <windows.h>

#include <string>

// What the version calls told; the extended fields count only when
// extendedRead is set.
struct OsVersionFacts {
    bool basicRead = false;
    DWORD platformId = 0;
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
    std::wstring servicePack;  // the CSD text
    bool extendedRead = false;
    BYTE productType = 0;
    WORD suiteMask = 0;
};

// The name for a set of version facts; empty when the basic facts were not
// read, "Unknown" for versions it has no name for. Either way a non-empty
// name ends in " x64" (64-bit build) or " x86".
std::wstring OsNameFromFacts(const OsVersionFacts& facts);

// The facts of the running system: the true version (RtlGetVersion), or what
// GetVersionExW reports where that is missing.
OsVersionFacts CurrentOsVersionFacts() noexcept;

std::wstring GetOSName();
