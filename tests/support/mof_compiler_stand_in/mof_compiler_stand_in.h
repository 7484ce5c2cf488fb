#pragma once

// Wine registers no MOF compiler. For as long as a MofCompilerStandIn lives,
// CoCreateInstance(CLSID_MofCompiler) hands out the stand-in in
// MofCompilerStandIn.dll beside the test program: it records every call and
// answers from a script.
//
// The registration lives under the fixed key
// HKLM\Software\Classes\CLSID\{6DAF9757-2E37-11D2-AEC9-00C04FB68820}, so a
// test program using this fixture holds the CTest resource lock
// `mof_compiler` (add_wine_test(... LOCK mof_compiler)).

#include <windows.h>
#include <wbemcli.h>

#include <optional>
#include <string>
#include <vector>

#include "common/util/unique_resource.h"
#include "mof_compiler_stand_in_abi.h"

// One IMofCompiler call as the stand-in received it. A text argument that
// was null has no value.
struct MofCall {
    enum Kind { File, Buffer, Bmof };

    Kind kind = File;
    // CompileFile's FileName; CreateBMOF's TextFileName.
    std::optional<std::wstring> path;
    // CreateBMOF's BMOFFileName.
    std::optional<std::wstring> bmofPath;
    // CompileBuffer: BuffSize as given, and all BuffSize bytes of the buffer.
    LONG bufferSize = 0;
    std::vector<unsigned char> buffer;
    std::optional<std::wstring> serverAndNamespace;
    std::optional<std::wstring> user;
    std::optional<std::wstring> authority;
    std::optional<std::wstring> password;
    LONG optionFlags = 0;
    LONG classFlags = 0;
    LONG instanceFlags = 0;
    // pInfo was null.
    bool statusNull = false;
};

class MofCompilerStandIn {
public:
    // Loads the DLL, forgets earlier calls and answers, and registers it;
    // throws std::runtime_error when one of them fails.
    MofCompilerStandIn();
    // Removes the whole class key again.
    ~MofCompilerStandIn();
    MofCompilerStandIn(const MofCompilerStandIn&) = delete;
    MofCompilerStandIn& operator=(const MofCompilerStandIn&) = delete;

    // Appends an answer. Each CompileFile or CompileBuffer call takes the next
    // one and the last one repeats; with none a call returns S_OK with a
    // zeroed status.
    void Script(HRESULT result, LONG phase = 0, HRESULT hRes = 0, LONG objectNum = 0) const;
    void Script(HRESULT result, const WBEM_COMPILE_STATUS_INFO& status) const;

    // Every call since construction, in order.
    std::vector<MofCall> Calls() const;

    // Removes the class key, for "no MOF compiler registered"; false when it
    // is still there afterwards.
    static bool Unregister();

    static std::wstring DllPath();

private:
    unique_module module_;
    decltype(&MofStandInReset) reset_ = nullptr;
    decltype(&MofStandInScript) script_ = nullptr;
    decltype(&MofStandInCallCount) callCount_ = nullptr;
    decltype(&MofStandInCall) call_ = nullptr;
    decltype(&MofStandInCallText) callText_ = nullptr;
    decltype(&MofStandInCallBuffer) callBuffer_ = nullptr;
};
