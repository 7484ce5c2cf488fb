#include "system_error_text.h"

#include <cwchar>

SystemErrorText::SystemErrorText(DWORD code, DWORD languageId) noexcept : code_(code)
{
    if (code == 0) {
        return;
    }
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, languageId, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    text_.reset(buffer);
    if (length == 0 || !text_) {
        text_.reset();
        return;
    }
    std::size_t end = std::wcslen(buffer);
    while (end > 0 && (buffer[end - 1] == L'\r' || buffer[end - 1] == L'\n')) {
        buffer[--end] = L'\0';
    }
}
