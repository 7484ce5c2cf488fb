#include "counter_providers.h"

const CounterProviderInfo kCounterProviders[kCounterProviderCount] = {
    {"Win32_PerfRawData_Marrowfell_Router_Session", {'R', 'S'}, "RouterSessionPerf.mof", "RouterPerfSession.dll"},
    {"Win32_PerfRawData_Marrowfell_Router_Client", {'R', 'C'}, "RouterClientPerf.mof", "RouterPerfClient.dll"},
    {"Win32_PerfRawData_Marrowfell_Agent", {'A', 'A'}, "AgentWMIPerf.mof", "AgentPerfSession.dll"},
    {"Win32_Marrowfell_counter", {'M', 'F'}, "VOSK_WMI.mof", "VOSK_WMI.dll"},
};
