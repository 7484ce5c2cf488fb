#pragma once

// Call stacks into the debug log: of the faulting thread of an unhandled
// exception, of another thread suspended for the purpose, or as text. The
// debug-help library is loaded on first use and bound by name. One
// process-wide engine serialises every dump with its lock.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include <dbghelp.h>

#include "common/thread/recursive_lock.h"
#include "common/util/unique_resource.h"

// A thread's frames as collected by walking its frame-pointer chain.
struct ThreadCallStackFrames {
    static constexpr int kRoom = 100;
    static constexpr int kStored = 99;

    ThreadCallStackFrames() noexcept;
    virtual ~ThreadCallStackFrames() = default;

    std::uint16_t count = 0;
    STACKFRAME64 frames[kRoom];
};

class SymbolEngine {
public:
    SymbolEngine() noexcept;
    ~SymbolEngine();

    SymbolEngine(const SymbolEngine&) = delete;
    SymbolEngine& operator=(const SymbolEngine&) = delete;

    // On true the caller holds the lock and releases it with Release().
    bool Initialize() noexcept;
    void Release() noexcept { lock_.Unlock(); }

    int StackWalkDump(HANDLE thread, CONTEXT* context) noexcept;
    int PrintThreadCallStackFrame(const STACKFRAME64* frame) noexcept;
    void DumpMemory(std::uint64_t shownAddress, const void* data, std::int64_t length) noexcept;
    void DumpMemory(const void* address, std::int64_t length) noexcept;
    int CollectCallStackFrames(std::uint64_t framePointer, std::uint64_t stackPointer,
                               std::uint64_t programCounter, ThreadCallStackFrames& frames) noexcept;
    bool DumpThreadCallStack(HANDLE thread) noexcept;
    int DumpExceptionStack(EXCEPTION_POINTERS* pointers) noexcept;
    int DumpStackFromRegisters(std::uint64_t programCounter, std::uint64_t stackPointer,
                               std::uint64_t framePointer) noexcept;
    int DumpThreadStack(HANDLE thread, CONTEXT* context) noexcept;
    DWORD GetCallStackText(HANDLE thread, CONTEXT* context, std::string& text) noexcept;
    void CheckSymbolEngine() noexcept;

    const char* SearchPath() const noexcept;
    // The walk state the dumps start from (used under the lock).
    STACKFRAME64& WalkState() noexcept;
    // The thread holding the dump lock; 0 when none.
    DWORD LockOwner() const noexcept { return lock_.Owner(); }

private:
    using SymInitializeFn = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
    using SymGetOptionsFn = DWORD(WINAPI*)();
    using SymSetOptionsFn = DWORD(WINAPI*)(DWORD);
    using StackWalk64Fn = BOOL(WINAPI*)(DWORD, HANDLE, HANDLE, LPSTACKFRAME64, PVOID,
                                        PREAD_PROCESS_MEMORY_ROUTINE64,
                                        PFUNCTION_TABLE_ACCESS_ROUTINE64,
                                        PGET_MODULE_BASE_ROUTINE64, PTRANSLATE_ADDRESS_ROUTINE64);
    using SymGetModuleInfo64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PIMAGEHLP_MODULE64);
    using SymGetSymFromAddr64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PIMAGEHLP_SYMBOL64);
    using SymGetLineFromAddr64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINE64);
    using SymCleanupFn = BOOL(WINAPI*)(HANDLE);

    static constexpr std::size_t kSearchPathSize = 8192;
    static constexpr std::size_t kSymbolRecordSize = 512;
    static constexpr std::size_t kModuleFileNameSize = 1024;
    // The module record as the older debug-help versions know it.
    static constexpr DWORD kModuleRecordSize = 584;

    bool BindLibrary() noexcept;
    bool Walk(HANDLE thread, CONTEXT* context) noexcept;
    void DumpStackWindows(std::uint64_t stackPointer, std::uint64_t framePointer) noexcept;

    unique_handle process_;
    SymInitializeFn symInitialize_ = nullptr;
    SymGetOptionsFn symGetOptions_ = nullptr;
    SymSetOptionsFn symSetOptions_ = nullptr;
    StackWalk64Fn stackWalk64_ = nullptr;
    PFUNCTION_TABLE_ACCESS_ROUTINE64 symFunctionTableAccess64_ = nullptr;
    PGET_MODULE_BASE_ROUTINE64 symGetModuleBase64_ = nullptr;
    SymGetModuleInfo64Fn symGetModuleInfo64_ = nullptr;
    SymGetSymFromAddr64Fn symGetSymFromAddr64_ = nullptr;
    SymGetLineFromAddr64Fn symGetLineFromAddr64_ = nullptr;
    SymCleanupFn symCleanup_ = nullptr;
    bool initialised_ = false;
    std::unique_ptr<char[]> searchPath_;
    RecursiveLock lock_;
    unique_module library_;

    // Work areas, used only under the lock.
    STACKFRAME64 walkState_{};
    alignas(8) unsigned char symbolRecord_[kSymbolRecordSize]{};
    IMAGEHLP_LINE64 lineRecord_{};
    alignas(8) unsigned char moduleRecord_[sizeof(IMAGEHLP_MODULE64)]{};
    char moduleFileName_[kModuleFileNameSize]{};
};

// The search path from the current folder, the executable's folder and the
// symbol variables; null for a null buffer.
char* GetSymbolPath(char* buffer, std::size_t size) noexcept;

// The process-wide engine; null before its holder is built and once it is
// destroyed.
SymbolEngine* ProcessSymbolEngine() noexcept;

// Owns the process-wide engine (one per process, built with the library's
// other globals) and makes it reachable from Thread's hang dumps while it
// lives.
class ProcessSymbolEngineHolder {
public:
    ProcessSymbolEngineHolder() noexcept;
    ~ProcessSymbolEngineHolder();
    ProcessSymbolEngineHolder(const ProcessSymbolEngineHolder&) = delete;
    ProcessSymbolEngineHolder& operator=(const ProcessSymbolEngineHolder&) = delete;

    SymbolEngine& Engine() noexcept { return engine_; }

private:
    SymbolEngine engine_;
    bool (*previousDump_)(HANDLE thread, DWORD threadId) = nullptr;
};
