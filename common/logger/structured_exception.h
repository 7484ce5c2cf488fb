#pragma once

// Hardware exceptions (an access violation, a division by zero) raised while
// the logger thread writes a record must not end that thread. Inside a
// StructuredExceptionScope, CallGuarded runs a piece of work and answers
// whether it ended normally; a C++ exception or a hardware exception raised in
// this module's code or in the C runtime ends the work early instead.

#include <windows.h>

#include <cstdint>

struct StructuredException {
    std::uint32_t code = 0;
    EXCEPTION_POINTERS* pointers = nullptr;  // valid only while it is handled
};

// Installs the translation for the calling thread and puts back what was
// there before when it ends.
class StructuredExceptionScope {
public:
    StructuredExceptionScope() noexcept;
    ~StructuredExceptionScope();

    StructuredExceptionScope(const StructuredExceptionScope&) = delete;
    StructuredExceptionScope& operator=(const StructuredExceptionScope&) = delete;

private:
    void* previous_ = nullptr;
};

using GuardedWork = void (*)(void* context);

// True when `work` returned; false when it threw or faulted, with the code of
// a hardware exception in *code (0 for a C++ exception). Without a scope on
// this thread, a hardware exception takes its ordinary course.
bool CallGuarded(GuardedWork work, void* context, std::uint32_t* code) noexcept;

template <typename Work>
bool CallGuarded(Work& work, std::uint32_t* code) noexcept
{
    return CallGuarded([](void* context) { (*static_cast<Work*>(context))(); }, &work, code);
}
