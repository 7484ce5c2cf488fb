#include "common/logger/structured_exception.h"

#include <cstring>
#include <cwchar>
#include <exception>

#if defined(_MSC_VER)
#include <eh.h>
#endif

namespace {

// Runs the work and turns a C++ exception into a false result.
bool CallCatching(GuardedWork work, void* context, std::uint32_t* code) noexcept
{
    try {
        work(context);
        return true;
    }
#if defined(_MSC_VER)
    catch (const StructuredException& exception) {
        *code = exception.code;
        return false;
    }
#endif
    catch (...) {
        *code = 0;
        return false;
    }
}

}  // namespace

#if defined(_MSC_VER)

// With this compiler (and /EHa) the runtime's own per-thread translator hook
// turns a hardware exception into a C++ exception at the fault.
namespace {

void __cdecl TranslateStructuredException(unsigned int code, EXCEPTION_POINTERS* pointers)
{
    throw StructuredException{code, pointers};
}

}  // namespace

StructuredExceptionScope::StructuredExceptionScope() noexcept
    : previous_(reinterpret_cast<void*>(::_set_se_translator(&TranslateStructuredException)))
{
}

StructuredExceptionScope::~StructuredExceptionScope()
{
    ::_set_se_translator(reinterpret_cast<_se_translator_function>(previous_));
}

bool CallGuarded(GuardedWork work, void* context, std::uint32_t* code) noexcept
{
    std::uint32_t ignored = 0;
    return CallCatching(work, context, code != nullptr ? code : &ignored);
}

#else

// GCC has no translator hook and its unwinder cannot start at a faulting
// instruction. Instead a vectored handler, on a thread inside CallGuarded,
// redirects the faulting thread to a resume point that jumps back to where
// CallGuarded began. The frames in between are abandoned without running
// their destructors.
namespace {

struct GuardFrame {
    void* jump[5];
    std::uint32_t code;
};

struct ThreadGuard {
    int scopes = 0;               // StructuredExceptionScope objects alive
    GuardFrame* frame = nullptr;  // innermost CallGuarded in progress
};

thread_local ThreadGuard t_guard;

SRWLOCK g_handlerLock = SRWLOCK_INIT;
void* g_handler = nullptr;
int g_handlerUsers = 0;

HMODULE ModuleOf(const void* address) noexcept
{
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(address), &module)) {
        return nullptr;
    }
    return module;
}

bool IsHardwareFault(DWORD code) noexcept
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
        return true;
    default:
        return false;
    }
}

// Only faults in code that cannot have a handler of its own count: this
// module's (built without structured handlers) and the C runtime's. System
// libraries probe memory under their own handlers (IsBadReadPtr), and those
// faults must reach them.
bool IsOurFault(const void* address) noexcept
{
    const HMODULE module = ModuleOf(address);
    if (module == nullptr) {
        return false;
    }
    return module == ModuleOf(reinterpret_cast<const void*>(&IsOurFault)) ||
           module == ModuleOf(reinterpret_cast<const void*>(&std::wcslen));
}

[[noreturn]] void ResumeGuard() noexcept
{
    GuardFrame* const frame = t_guard.frame;
    t_guard.frame = nullptr;
    __builtin_longjmp(frame->jump, 1);
}

LONG CALLBACK RedirectFault(EXCEPTION_POINTERS* pointers)
{
    ThreadGuard& guard = t_guard;
    if (guard.scopes == 0 || guard.frame == nullptr) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const EXCEPTION_RECORD* const record = pointers->ExceptionRecord;
    if (!IsHardwareFault(record->ExceptionCode) || !IsOurFault(record->ExceptionAddress)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    guard.frame->code = record->ExceptionCode;
    // Continue in ResumeGuard on the same stack, below the faulting frame,
    // aligned as at a function's entry; the dispatcher finishes normally.
    // Nothing is written there now: the dispatcher's own frames lie below.
    CONTEXT* const context = pointers->ContextRecord;
    const DWORD64 stack = ((context->Rsp - 512) & ~static_cast<DWORD64>(15)) - sizeof(DWORD64);
    context->Rsp = stack;
    context->Rip = reinterpret_cast<DWORD64>(&ResumeGuard);
    return EXCEPTION_CONTINUE_EXECUTION;
}

__attribute__((noinline)) bool CallWithFrame(GuardedWork work, void* context,
                                             std::uint32_t* code) noexcept
{
    GuardFrame frame{};
    GuardFrame* const outer = t_guard.frame;
    if (__builtin_setjmp(frame.jump) != 0) {
        t_guard.frame = outer;
        *code = frame.code;
        return false;
    }
    t_guard.frame = &frame;
    const bool completed = CallCatching(work, context, code);
    t_guard.frame = outer;
    return completed;
}

}  // namespace

StructuredExceptionScope::StructuredExceptionScope() noexcept
{
    ::AcquireSRWLockExclusive(&g_handlerLock);
    if (g_handlerUsers++ == 0) {
        g_handler = ::AddVectoredExceptionHandler(1, &RedirectFault);
    }
    ::ReleaseSRWLockExclusive(&g_handlerLock);
    ++t_guard.scopes;
}

StructuredExceptionScope::~StructuredExceptionScope()
{
    --t_guard.scopes;
    ::AcquireSRWLockExclusive(&g_handlerLock);
    if (--g_handlerUsers == 0 && g_handler != nullptr) {
        ::RemoveVectoredExceptionHandler(g_handler);
        g_handler = nullptr;
    }
    ::ReleaseSRWLockExclusive(&g_handlerLock);
}

bool CallGuarded(GuardedWork work, void* context, std::uint32_t* code) noexcept
{
    std::uint32_t ignored = 0;
    return CallWithFrame(work, context, code != nullptr ? code : &ignored);
}

#endif
