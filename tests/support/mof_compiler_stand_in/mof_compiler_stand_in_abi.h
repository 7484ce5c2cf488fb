#pragma once

// The plain C exports of MofCompilerStandIn.dll. A test loads the same DLL
// file COM loads, so both reach the one record and script in the process.
// Every export takes the stand-in's lock.

#include <windows.h>
#include <wbemcli.h>

#ifdef __cplusplus
extern "C" {
#endif

// Which IMofCompiler method a recorded call went to.
enum {
    MOF_STAND_IN_COMPILE_FILE = 1,
    MOF_STAND_IN_COMPILE_BUFFER = 2,
    MOF_STAND_IN_CREATE_BMOF = 3,
};

// The text arguments a call may carry.
enum {
    MOF_STAND_IN_FILE_NAME = 0,  // CompileFile's FileName, CreateBMOF's TextFileName
    MOF_STAND_IN_BMOF_FILE_NAME = 1,
    MOF_STAND_IN_SERVER_AND_NAMESPACE = 2,
    MOF_STAND_IN_USER = 3,
    MOF_STAND_IN_AUTHORITY = 4,
    MOF_STAND_IN_PASSWORD = 5,
    MOF_STAND_IN_TEXT_COUNT = 6,
};

typedef struct MofStandInCallInfo {
    LONG kind;
    LONG bufferSize;   // CompileBuffer's BuffSize as given
    LONG bufferBytes;  // bytes recorded: bufferSize, or 0 for a null buffer or a size below 1
    LONG optionFlags;
    LONG classFlags;
    LONG instanceFlags;
    BOOL statusNull;  // pInfo was null
} MofStandInCallInfo;

// Forgets every call and every scripted answer.
void WINAPI MofStandInReset(void);

// Appends an answer: each compile call takes the next one, the last one
// repeats, and with none a call returns S_OK with a zeroed status. A null
// `status` means a zeroed one. FALSE when out of memory.
BOOL WINAPI MofStandInScript(HRESULT result, const WBEM_COMPILE_STATUS_INFO* status);

LONG WINAPI MofStandInCallCount(void);

// FALSE when there is no call `index` (counted from 0).
BOOL WINAPI MofStandInCall(LONG index, MofStandInCallInfo* info);

// Text argument `which` of call `index`: its length in characters, copied
// with a terminator when `capacity` (in characters) leaves room for both;
// -1 when the argument was null or there is no such call.
LONG WINAPI MofStandInCallText(LONG index, LONG which, WCHAR* text, LONG capacity);

// The recorded buffer of call `index`: its size, copied when `capacity`
// leaves room; -1 when there is no such call.
LONG WINAPI MofStandInCallBuffer(LONG index, BYTE* bytes, LONG capacity);

#ifdef __cplusplus
}
#endif
