#include "stand_in_mof_compiler.h"

#include <new>
#include <utility>

#include "call_log.h"

namespace {

volatile LONG g_liveObjects = 0;

RecordedCall Common(LONG kind, LPWSTR serverAndNamespace, LPWSTR user, LPWSTR authority,
                    LPWSTR password, LONG optionFlags, LONG classFlags, LONG instanceFlags,
                    const WBEM_COMPILE_STATUS_INFO* info)
{
    RecordedCall call;
    call.kind = kind;
    call.text[MOF_STAND_IN_SERVER_AND_NAMESPACE] = ArgumentText(serverAndNamespace);
    call.text[MOF_STAND_IN_USER] = ArgumentText(user);
    call.text[MOF_STAND_IN_AUTHORITY] = ArgumentText(authority);
    call.text[MOF_STAND_IN_PASSWORD] = ArgumentText(password);
    call.optionFlags = optionFlags;
    call.classFlags = classFlags;
    call.instanceFlags = instanceFlags;
    call.statusNull = info == nullptr;
    return call;
}

}  // namespace

StandInMofCompiler::StandInMofCompiler() noexcept { ::InterlockedIncrement(&g_liveObjects); }

StandInMofCompiler::~StandInMofCompiler() { ::InterlockedDecrement(&g_liveObjects); }

LONG StandInMofCompiler::LiveObjects() noexcept { return g_liveObjects; }

STDMETHODIMP StandInMofCompiler::CompileFile(LPWSTR fileName, LPWSTR serverAndNamespace,
                                             LPWSTR user, LPWSTR authority, LPWSTR password,
                                             LONG optionFlags, LONG classFlags,
                                             LONG instanceFlags, WBEM_COMPILE_STATUS_INFO* info)
{
    try {
        RecordedCall call = Common(MOF_STAND_IN_COMPILE_FILE, serverAndNamespace, user, authority,
                                   password, optionFlags, classFlags, instanceFlags, info);
        call.text[MOF_STAND_IN_FILE_NAME] = ArgumentText(fileName);
        return CallLog::Instance().RecordAndAnswer(std::move(call), info);
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    } catch (...) {
        return WBEM_E_FAILED;
    }
}

STDMETHODIMP StandInMofCompiler::CompileBuffer(LONG buffSize, BYTE* buffer,
                                               LPWSTR serverAndNamespace, LPWSTR user,
                                               LPWSTR authority, LPWSTR password,
                                               LONG optionFlags, LONG classFlags,
                                               LONG instanceFlags, WBEM_COMPILE_STATUS_INFO* info)
{
    try {
        RecordedCall call = Common(MOF_STAND_IN_COMPILE_BUFFER, serverAndNamespace, user,
                                   authority, password, optionFlags, classFlags, instanceFlags,
                                   info);
        call.bufferSize = buffSize;
        if (buffer != nullptr && buffSize > 0) {
            call.buffer.assign(buffer, buffer + buffSize);
        }
        return CallLog::Instance().RecordAndAnswer(std::move(call), info);
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    } catch (...) {
        return WBEM_E_FAILED;
    }
}

STDMETHODIMP StandInMofCompiler::CreateBMOF(LPWSTR textFileName, LPWSTR bmofFileName,
                                            LPWSTR serverAndNamespace, LONG optionFlags,
                                            LONG classFlags, LONG instanceFlags,
                                            WBEM_COMPILE_STATUS_INFO* info)
{
    try {
        RecordedCall call = Common(MOF_STAND_IN_CREATE_BMOF, serverAndNamespace, nullptr, nullptr,
                                   nullptr, optionFlags, classFlags, instanceFlags, info);
        call.text[MOF_STAND_IN_FILE_NAME] = ArgumentText(textFileName);
        call.text[MOF_STAND_IN_BMOF_FILE_NAME] = ArgumentText(bmofFileName);
        CallLog::Instance().Record(std::move(call));
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    } catch (...) {
        return WBEM_E_FAILED;
    }
    if (info != nullptr) {
        *info = {};
    }
    return WBEM_E_NOT_SUPPORTED;
}
