#pragma once

// Plays WMI for an in-process hi-perf provider: the namespace it is given,
// the class object and its instances, the sinks and enumerators it reports
// into, with a fault plan over the calls a provider makes and a count of the
// host objects still alive.
//
// Objects a provider still holds when the Host goes stay valid: they share
// the counter and the fault plan with the host by shared_ptr, not by a
// pointer back to the Host.

#include <windows.h>
#include <wbemcli.h>

#include <memory>
#include <string>

#include "common/util/unique_resource.h"
#include "tools/wmi_host/fault_plan.h"
#include "tools/wmi_host/hi_perf_enum.h"
#include "tools/wmi_host/mof_reader.h"
#include "tools/wmi_host/sinks.h"

namespace wmihost {

struct HostState;
class Services;
class WbemObject;

class Host {
public:
    // The host for class `className` of the MOF file at `mofPath`; null with
    // the reason in `error` when the file cannot be read or lacks the class.
    static std::unique_ptr<Host> FromMof(const std::wstring& mofPath, const std::wstring& className,
                                         std::wstring& error);

    explicit Host(const ClassDef& definition);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    const ClassDef& Definition() const;

    // The namespace to initialise a provider with; the Host keeps the reference.
    IWbemServices* Services() const;
    // The class object GetObject answers with, as a new reference.
    com_ptr<IWbemClassObject> ClassObject() const;

    com_ptr<InitSink> NewInitSink();
    com_ptr<ObjectSink> NewObjectSink();
    com_ptr<HiPerfEnum> NewEnum();

    FaultPlan& Faults();
    // Host objects alive right now: the namespace and class object the Host
    // holds, and every instance, clone, sink and enumerator not yet released.
    long LiveObjects() const;

    // The observer's reads. For the host's own objects they bypass the fault
    // plan and its call counts; for any other object they go through
    // GetPropertyHandle and ReadDWORD / ReadPropertyValue.
    static bool ReadDword(IWbemObjectAccess* object, const wchar_t* property, DWORD& value);
    static bool ReadString(IWbemObjectAccess* object, const wchar_t* property, std::wstring& value);

private:
    std::shared_ptr<HostState> state_;
    std::shared_ptr<const ClassDef> definition_;
    com_ptr<WbemObject> classObject_;
    com_ptr<wmihost::Services> services_;
};

}  // namespace wmihost
