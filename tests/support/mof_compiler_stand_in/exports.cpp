// The COM exports and the C control exports of MofCompilerStandIn.dll.

#include <windows.h>
#include <wbemcli.h>

#include <algorithm>
#include <cstring>

#include "call_log.h"
#include "mof_compiler_stand_in_abi.h"
#include "stand_in_factory.h"
#include "stand_in_mof_compiler.h"

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (rclsid != CLSID_MofCompiler) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    const HRESULT hr = CreateComObject<StandInFactory>(riid, ppv);
    return FAILED(hr) ? hr : S_OK;
}

STDAPI DllCanUnloadNow()
{
    return (StandInMofCompiler::LiveObjects() == 0 && StandInFactory::Locks() == 0) ? S_OK
                                                                                      : S_FALSE;
}

extern "C" {

void WINAPI MofStandInReset(void)
{
    CallLog::Instance().Reset();
}

BOOL WINAPI MofStandInScript(HRESULT result, const WBEM_COMPILE_STATUS_INFO* status)
{
    try {
        CallLog::Instance().Script(result, status != nullptr ? *status : WBEM_COMPILE_STATUS_INFO{});
        return TRUE;
    } catch (...) {
        return FALSE;  // out of memory: nothing was appended
    }
}

LONG WINAPI MofStandInCallCount(void)
{
    return CallLog::Instance().Count();
}

BOOL WINAPI MofStandInCall(LONG index, MofStandInCallInfo* info)
{
    try {
        const std::optional<RecordedCall> call = CallLog::Instance().Call(index);
        if (!call || info == nullptr) {
            return FALSE;
        }
        info->kind = call->kind;
        info->bufferSize = call->bufferSize;
        info->bufferBytes = static_cast<LONG>(call->buffer.size());
        info->optionFlags = call->optionFlags;
        info->classFlags = call->classFlags;
        info->instanceFlags = call->instanceFlags;
        info->statusNull = call->statusNull ? TRUE : FALSE;
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

LONG WINAPI MofStandInCallText(LONG index, LONG which, WCHAR* text, LONG capacity)
{
    try {
        const std::optional<RecordedCall> call = CallLog::Instance().Call(index);
        if (!call || which < 0 || which >= MOF_STAND_IN_TEXT_COUNT ||
            !call->text[static_cast<std::size_t>(which)]) {
            return -1;
        }
        const std::wstring& argument = *call->text[static_cast<std::size_t>(which)];
        const LONG length = static_cast<LONG>(argument.size());
        if (text != nullptr && capacity > length) {
            std::copy(argument.begin(), argument.end(), text);
            text[length] = L'\0';
        }
        return length;
    } catch (...) {
        return -1;
    }
}

LONG WINAPI MofStandInCallBuffer(LONG index, BYTE* bytes, LONG capacity)
{
    try {
        const std::optional<RecordedCall> call = CallLog::Instance().Call(index);
        if (!call) {
            return -1;
        }
        const LONG size = static_cast<LONG>(call->buffer.size());
        if (bytes != nullptr && capacity >= size && size > 0) {
            std::memcpy(bytes, call->buffer.data(), call->buffer.size());
        }
        return size;
    } catch (...) {
        return -1;
    }
}

}  // extern "C"
