#pragma once

// A system error code with the system's message text for it, as used in the
// "%d - %s" tail of messages.

#include <windows.h>

#include "unique_resource.h"

class SystemErrorText {
public:
    // 0x400 is the user's default language, which every caller passes.
    explicit SystemErrorText(DWORD code, DWORD languageId = 0x400) noexcept;

    DWORD Code() const noexcept { return code_; }
    // The message without trailing line breaks; empty when the system has none.
    const wchar_t* Text() const noexcept { return text_ ? text_.get() : L""; }

private:
    DWORD code_;
    unique_local<wchar_t*> text_;
};
