#pragma once

// The maker's performance-counter providers: each one's WMI class, its MOF
// file (the two-letter tag stands directly before the file name, so the two
// read together give the tagged file name) and its DLL.

struct CounterProviderInfo {
    char wmiClass[255];
    char tag[2];
    char mofFile[255];
    char dllFile[255];
};

constexpr int kCounterProviderCount = 4;
extern const CounterProviderInfo kCounterProviders[kCounterProviderCount];
