#pragma once

// The printf-style side of the logger's entry points: checking a caller's
// arguments against the format before anything reads them for real, the
// report for an entry that fails, and the formatter every entry uses.

#include <cstdarg>
#include <cstddef>
#include <string>


// Wide entry points take a wchar_t format, narrow ones a char format; the kind
// decides what an unprefixed %c, %C, %s and %S take.
enum class LogCharKind { Wide, Narrow };

struct ArgumentCheck {
    bool valid = false;
    int argCount = 0;      // arguments rendered, the failed one included
    std::wstring rendered; // "arg[%d](%s)=%s " for each of them
};

// Checks `format` (const wchar_t* for Wide, const char* for Narrow) against
// the argument list without consuming it. Every read is probed first, so a
// bad format or argument makes the entry invalid instead of faulting.
// The arguments are rendered for an entry that fails, since only its report
// shows them; Always renders them for a valid entry too.
enum class ArgumentRendering { WhenInvalid, Always };
ArgumentCheck CheckLogArguments(LogCharKind kind, const void* format, va_list args,
                                ArgumentRendering rendering = ArgumentRendering::WhenInvalid) noexcept;

// "Invalid log entry - Level:..., EventId:..., Format:..., User:..., ArgCount:..., Args:..."
// for an entry that failed its check. `user` has the same character kind as
// `format`; a null one shows "<null>", an unreadable one "BAD_PTR(...)".
std::wstring InvalidLogEntryText(LogCharKind kind, int level, int eventId, const void* format,
                                 const void* user, const ArgumentCheck& check) noexcept;

// The formatter every entry uses: FormatPrintText (common/util/print_format.h),
// which never executes %n.
int FormatLogText(wchar_t* buffer, std::size_t size, const wchar_t* format, va_list args) noexcept;
int FormatLogText(char* buffer, std::size_t size, const char* format, va_list args) noexcept;
