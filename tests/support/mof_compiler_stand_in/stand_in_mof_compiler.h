#pragma once

// The IMofCompiler COM hands out for CLSID_MofCompiler: it compiles nothing,
// records every call in the CallLog and answers from its script.

#include <windows.h>
#include <wbemcli.h>

#include "common/util/com_object.h"

class StandInMofCompiler final : public ComObject<IMofCompiler> {
public:
    StandInMofCompiler() noexcept;
    ~StandInMofCompiler() override;

    // Objects alive in the process, for DllCanUnloadNow.
    static LONG LiveObjects() noexcept;

    STDMETHODIMP CompileFile(LPWSTR fileName, LPWSTR serverAndNamespace, LPWSTR user,
                             LPWSTR authority, LPWSTR password, LONG optionFlags, LONG classFlags,
                             LONG instanceFlags, WBEM_COMPILE_STATUS_INFO* info) override;
    STDMETHODIMP CompileBuffer(LONG buffSize, BYTE* buffer, LPWSTR serverAndNamespace, LPWSTR user,
                               LPWSTR authority, LPWSTR password, LONG optionFlags,
                               LONG classFlags, LONG instanceFlags,
                               WBEM_COMPILE_STATUS_INFO* info) override;
    // Recorded, never scripted: answers WBEM_E_NOT_SUPPORTED with a zeroed status.
    STDMETHODIMP CreateBMOF(LPWSTR textFileName, LPWSTR bmofFileName, LPWSTR serverAndNamespace,
                            LONG optionFlags, LONG classFlags, LONG instanceFlags,
                            WBEM_COMPILE_STATUS_INFO* info) override;
};
