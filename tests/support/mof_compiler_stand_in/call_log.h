#pragma once

// What the stand-in compiler was asked and what it is scripted to answer:
// one record per process, shared by the COM objects and the C exports.

#include <windows.h>
#include <wbemcli.h>

#include <array>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mof_compiler_stand_in_abi.h"

struct RecordedCall {
    LONG kind = 0;
    // Indexed by MOF_STAND_IN_FILE_NAME and the other text argument names.
    std::array<std::optional<std::wstring>, MOF_STAND_IN_TEXT_COUNT> text;
    LONG bufferSize = 0;
    std::vector<BYTE> buffer;
    LONG optionFlags = 0;
    LONG classFlags = 0;
    LONG instanceFlags = 0;
    bool statusNull = false;
};

class CallLog {
public:
    static CallLog& Instance();

    void Reset();
    void Script(HRESULT result, const WBEM_COMPILE_STATUS_INFO& status);

    // Records `call` and hands out the next scripted answer.
    HRESULT RecordAndAnswer(RecordedCall call, WBEM_COMPILE_STATUS_INFO* status);
    // Records `call` only; the caller answers.
    void Record(RecordedCall call);

    LONG Count() const;
    std::optional<RecordedCall> Call(LONG index) const;

private:
    struct Answer {
        HRESULT result;
        WBEM_COMPILE_STATUS_INFO status;
    };

    mutable std::mutex lock_;
    std::vector<RecordedCall> calls_;
    std::deque<Answer> script_;
};

// The text of a string argument, none for a null one.
std::optional<std::wstring> ArgumentText(const wchar_t* argument);
