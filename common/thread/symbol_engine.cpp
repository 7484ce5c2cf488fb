#include "common/thread/symbol_engine.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>
#include <new>
#include <type_traits>

#include "common/thread/crash_handler.h"
#include "common/thread/thread_hooks.h"
#include "common/util/system_error_text.h"

namespace {

constexpr int kMaxWalkSteps = 100;
constexpr int kMaxTextFrames = 101;
constexpr std::uint64_t kMinWindow = 1024;
constexpr std::uint64_t kMaxWindow = 4096;
constexpr std::uint64_t kExtraWindow = 512;
// PROCESS_ALL_ACCESS as the older SDKs define it, which every system grants.
constexpr DWORD kProcessAllAccess = 0x1F0FFF;
constexpr DWORD kMachineType = IMAGE_FILE_MACHINE_AMD64;
constexpr std::size_t kTextSymbolRecordSize = 288;
constexpr DWORD kTextSymbolNameRoom = 256;
constexpr char kRowTemplate[] =
    "%016llX: ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ??  *................*";
// Where the row text puts byte i: its two digits and its character.
constexpr std::size_t kRowHexStart = 18;
constexpr std::size_t kRowCharStart = 68;

std::uint64_t AlignDown16(std::uint64_t value) noexcept { return value & ~std::uint64_t{15}; }

// The first window covers the frame area, kept between 1 KiB and 4 KiB.
std::uint64_t WindowSize(std::uint64_t stackPointer, std::uint64_t framePointer) noexcept
{
    const std::int64_t size =
        static_cast<std::int64_t>(framePointer - stackPointer + kExtraWindow);
    if (size < static_cast<std::int64_t>(kMinWindow)) {
        return kMinWindow;
    }
    if (size > static_cast<std::int64_t>(kMaxWindow)) {
        return kMaxWindow;
    }
    return static_cast<std::uint64_t>(size);
}

bool NeedsFrameWindow(std::uint64_t stackPointer, std::uint64_t size,
                      std::uint64_t framePointer) noexcept
{
    return stackPointer + size < framePointer || framePointer < stackPointer;
}

bool Readable(const void* address, UINT_PTR length) noexcept
{
    return ::IsBadReadPtr(address, length) == 0;
}

const void* AsPointer(std::uint64_t address) noexcept
{
    return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
}

const char* AfterLastBackslash(const char* path) noexcept
{
    const char* slash = std::strrchr(path, '\\');
    return slash != nullptr ? slash + 1 : path;
}

void SetFlat(ADDRESS64& address, std::uint64_t offset) noexcept
{
    address.Offset = offset;
    address.Segment = 0;
    address.Mode = AddrModeFlat;
}

// Appends one piece after a ";" unless the path is still empty.
void AppendPiece(std::string& path, const char* piece)
{
    if (!path.empty()) {
        path += ';';
    }
    path += piece;
}

void LogPieceFailure(const wchar_t* format) noexcept
{
    const SystemErrorText error(::GetLastError());
    ThreadLog(2, "SymbolEngine::GetSymbolPath", format, "SymbolEngine::GetSymbolPath",
              error.Text(), static_cast<int>(error.Code()));
}

bool AppendVariable(std::string& path, const char* name, const wchar_t* failure)
{
    char value[8192];
    const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof(value));
    if (length == 0 || length >= sizeof(value)) {
        if (length >= sizeof(value)) {
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        }
        LogPieceFailure(failure);
        return false;
    }
    AppendPiece(path, value);
    return true;
}

bool DumpThreadCallStackHook(HANDLE thread, DWORD /*threadId*/)
{
    SymbolEngine* engine = ProcessSymbolEngine();
    return engine != nullptr && engine->DumpThreadCallStack(thread);
}

SymbolEngine* g_processEngine = nullptr;

}  // namespace

ThreadCallStackFrames::ThreadCallStackFrames() noexcept
{
    std::memset(frames, 0, sizeof(frames));
}

char* GetSymbolPath(char* buffer, std::size_t size) noexcept
{
    if (buffer == nullptr) {
        ThreadLog(2, "SymbolEngine::GetSymbolPath", L"%hs Buffer is null",
                  "SymbolEngine::GetSymbolPath");
        return nullptr;
    }
    if (size == 0) {
        return buffer;
    }
    try {
        std::string path;
        const DWORD room = static_cast<DWORD>(size > MAXDWORD ? MAXDWORD : size);
        const DWORD folderLength = ::GetCurrentDirectoryA(room, buffer);
        if (folderLength == 0 || folderLength >= room) {
            LogPieceFailure(L"[%hs] Cannot get current folder name, the function returns error: "
                            L"%s. code (%d)");
        } else {
            AppendPiece(path, buffer);
        }

        char module[MAX_PATH * 4];
        const DWORD moduleLength = ::GetModuleFileNameA(nullptr, module, sizeof(module));
        if (moduleLength == 0) {
            LogPieceFailure(L"[%hs] Cannot get module file name, the function returns error: %s. "
                            L"code (%d)");
        } else {
            std::string folder(module, moduleLength);
            const std::size_t separator = folder.find_last_of("\\/:");
            if (separator != std::string::npos && separator != 0) {
                // A drive root keeps its ":" ("C:").
                folder.resize(folder[separator] == ':' ? separator + 1 : separator);
                AppendPiece(path, folder.c_str());
            }
        }

        AppendVariable(path, "_NT_SYMBOL_PATH",
                       L"[%hs] Cannot get env value for _NT_SYMBOL_PATH, the function returns "
                       L"error: %s. code (%d)");
        AppendVariable(path, "_NT_ALTERNATE_SYMBOL_PATH",
                       L"[%hs] Cannot get env value for _NT_ALTERNATE_SYMBOL_PATH, the function "
                       L"returns error: %s. code (%d)");
        AppendVariable(path, "SYSTEMROOT",
                       L"[%hs] Cannot get env value for SYSTEMROOT, the function returns error: "
                       L"%s. code (%d)");

        ::OutputDebugStringA("Symbols Path:");
        ::OutputDebugStringA(path.c_str());
        ::OutputDebugStringA("\n");
        const std::size_t kept = path.size() < size - 1 ? path.size() : size - 1;
        std::memcpy(buffer, path.data(), kept);
        buffer[kept] = '\0';
    } catch (...) {
        // Out of memory while joining the pieces: an empty path still works.
        buffer[0] = '\0';
    }
    return buffer;
}

SymbolEngine* ProcessSymbolEngine() noexcept
{
    return g_processEngine;
}

ProcessSymbolEngineHolder::ProcessSymbolEngineHolder() noexcept
{
    if (g_processEngine != nullptr) {
        return;  // a second one stays private
    }
    g_processEngine = &engine_;
    ThreadHooks hooks = GetThreadHooks();
    previousDump_ = hooks.dumpThreadCallStack;
    hooks.dumpThreadCallStack = &DumpThreadCallStackHook;
    SetThreadHooks(hooks);
}

ProcessSymbolEngineHolder::~ProcessSymbolEngineHolder()
{
    if (g_processEngine != &engine_) {
        return;
    }
    ThreadHooks hooks = GetThreadHooks();
    if (hooks.dumpThreadCallStack == &DumpThreadCallStackHook) {
        hooks.dumpThreadCallStack = previousDump_;
        SetThreadHooks(hooks);
    }
    g_processEngine = nullptr;
}

SymbolEngine::SymbolEngine() noexcept
{
    searchPath_.reset(new (std::nothrow) char[kSearchPathSize]);
    if (searchPath_) {
        searchPath_[0] = '\0';
        GetSymbolPath(searchPath_.get(), kSearchPathSize);
    }
    process_.reset(::OpenProcess(kProcessAllAccess, FALSE, ::GetCurrentProcessId()));
}

SymbolEngine::~SymbolEngine()
{
    if (initialised_ && symCleanup_ != nullptr) {
        symCleanup_(process_.get());
    }
    initialised_ = false;
}

const char* SymbolEngine::SearchPath() const noexcept
{
    return searchPath_ ? searchPath_.get() : "";
}

STACKFRAME64& SymbolEngine::WalkState() noexcept
{
    return walkState_;
}

bool SymbolEngine::BindLibrary() noexcept
{
    library_.reset(FilteredLoadLibrary("DbgHelp.dll"));
    if (!library_) {
        const SystemErrorText error(::GetLastError());
        ThreadLog(2, "SymbolEngine::Initialize",
                  L"[%hs] Cannot load library DbgHelp.dll, the function returns error: %s. code "
                  L"(%d)",
                  "StackTrace->Initialize", error.Text(), static_cast<int>(error.Code()));
        return false;
    }
    HMODULE module = library_.get();
    const auto bind = [module](auto& slot, const char* name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
            reinterpret_cast<void*>(::GetProcAddress(module, name)));
    };
    bind(symInitialize_, "SymInitialize");
    bind(symGetOptions_, "SymGetOptions");
    bind(symSetOptions_, "SymSetOptions");
    bind(stackWalk64_, "StackWalk64");
    bind(symFunctionTableAccess64_, "SymFunctionTableAccess64");
    bind(symGetModuleBase64_, "SymGetModuleBase64");
    bind(symGetModuleInfo64_, "SymGetModuleInfo64");
    bind(symGetSymFromAddr64_, "SymGetSymFromAddr64");
    bind(symGetLineFromAddr64_, "SymGetLineFromAddr64");
    bind(symCleanup_, "SymCleanup");
    char path[MAX_PATH * 4] = {};
    ::GetModuleFileNameA(module, path, sizeof(path));  // an empty name is still worth the line
    ThreadLog(3, "SymbolEngine::Initialize", L"Loaded %hs", path);
    return true;
}

bool SymbolEngine::Initialize() noexcept
{
    lock_.Lock();
    if (!library_) {
        try {
            BindLibrary();
        } catch (...) {
            ThreadLog(2, "SymbolEngine::Initialize",
                      L"[%hs] Cannot load library DbgHelp.dll, Unknown exception",
                      "StackTrace->Initialize");
        }
    }
    if (library_ && !initialised_) {
        const DWORD options = symGetOptions_ != nullptr ? symGetOptions_() : 0;
        if (symSetOptions_ != nullptr) {
            symSetOptions_(options | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);
        }
        initialised_ = symInitialize_ != nullptr &&
                       symInitialize_(process_.get(), SearchPath(), TRUE) == 1;
    }
    if (initialised_) {
        return true;
    }
    lock_.Unlock();
    return false;
}

void SymbolEngine::DumpStackWindows(std::uint64_t stackPointer,
                                    std::uint64_t framePointer) noexcept
{
    const std::uint64_t sp = AlignDown16(stackPointer);
    const std::uint64_t fp = AlignDown16(framePointer);
    const std::uint64_t size = WindowSize(sp, fp);
    DumpMemory(AsPointer(sp), static_cast<std::int64_t>(size));
    if (NeedsFrameWindow(sp, size, fp)) {
        DumpMemory(AsPointer(fp), static_cast<std::int64_t>(kExtraWindow));
    }
}

bool SymbolEngine::Walk(HANDLE thread, CONTEXT* context) noexcept
{
    if (stackWalk64_ == nullptr) {
        return false;
    }
    return stackWalk64_(kMachineType, process_.get(), thread, &walkState_, context, nullptr,
                        symFunctionTableAccess64_, symGetModuleBase64_, nullptr) != FALSE;
}

int SymbolEngine::StackWalkDump(HANDLE thread, CONTEXT* context) noexcept
{
    ThreadLog(3, "SymbolEngine::StackWalkDump", L"Stack Frame Context: ESP=%016I64X  EBP=%016I64X",
              walkState_.AddrStack.Offset, walkState_.AddrFrame.Offset);
    DumpStackWindows(walkState_.AddrStack.Offset, walkState_.AddrFrame.Offset);

    // The x86-64 walker needs a register record; without one it starts from
    // the three addresses of the walk state.
    alignas(16) CONTEXT registers;
    if (context == nullptr) {
        std::memset(&registers, 0, sizeof(registers));
        registers.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
        registers.Rip = walkState_.AddrPC.Offset;
        registers.Rsp = walkState_.AddrStack.Offset;
        registers.Rbp = walkState_.AddrFrame.Offset;
        context = &registers;
    }
    for (int step = 0; step < kMaxWalkSteps; ++step) {
        if (Walk(thread, context) && walkState_.AddrFrame.Offset != 0) {
            PrintThreadCallStackFrame(&walkState_);
            continue;
        }
        const DWORD code = ::GetLastError();
        if (code != 0 && code != ERROR_INVALID_ADDRESS) {
            const SystemErrorText error(code);
            ThreadLog(3, "SymbolEngine::StackWalkDump", L"StackWalk failed with error code <%x> - %s",
                      code, error.Text());
        }
        return 1;
    }
    ThreadLog(3, "SymbolEngine::StackWalkDump", L"Quitting StackWalkDump after %d iterations",
              kMaxWalkSteps);
    return 1;
}

int SymbolEngine::PrintThreadCallStackFrame(const STACKFRAME64* frame) noexcept
{
    constexpr const char* kName = "PrintThreadCallStackFrame";
    constexpr const char* kFunction = "SymbolEngine::PrintThreadCallStackFrame";
    if (frame == nullptr) {
        ThreadLog(2, kFunction, L"[%hs] Stack frame is null", kName);
        return 0;
    }
    if (!initialised_) {
        ThreadLog(2, kFunction, L"[%hs] Stack frame is not initialized", kName);
        return 0;
    }
    const std::uint64_t pc = frame->AddrPC.Offset;
    const std::uint64_t base =
        symGetModuleBase64_ != nullptr ? symGetModuleBase64_(process_.get(), pc) : 0;
    ThreadLog(3, kFunction,
              L"PC Address: %016I64X, Relative Address: %016I64X, ESP=%016I64X EBP=%016I64X, "
              L"Parameters (1-4):(0x%016I64X 0x%016I64X 0x%016I64X 0x%016I64X)",
              pc, pc - base, frame->AddrStack.Offset, frame->AddrFrame.Offset, frame->Params[0],
              frame->Params[1], frame->Params[2], frame->Params[3]);
    if (base != 0) {
        const DWORD length =
            ::GetModuleFileNameA(reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(base)),
                                 moduleFileName_, sizeof(moduleFileName_));
        if (length == 0) {
            const SystemErrorText error(::GetLastError());
            ThreadLog(3, kFunction, L"%hs - GetModuleFileName failed with error code <%x> - %s",
                      kName, error.Code(), error.Text());
            return 1;
        }
        ThreadLog(3, kFunction, L"%hs - Module Name: %hs", kName,
                  AfterLastBackslash(moduleFileName_));
    } else {
        const SystemErrorText error(::GetLastError());
        ThreadLog(3, kFunction, L"[%hs] SymGetModuleBase failed with error code <%x> - %s", kName,
                  error.Code(), error.Text());
    }

    std::memset(symbolRecord_, 0, sizeof(symbolRecord_));
    auto* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(symbolRecord_);
    symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
    symbol->MaxNameLength = kSymbolRecordSize - sizeof(IMAGEHLP_SYMBOL64);
    DWORD64 symbolDisplacement = 0;
    if (symGetSymFromAddr64_ == nullptr ||
        symGetSymFromAddr64_(process_.get(), pc, &symbolDisplacement, symbol) != 1) {
        return 1;
    }
    ThreadLog(3, kFunction, L"%hs - Symbol Information: %hs", kName, symbol->Name);

    std::memset(&lineRecord_, 0, sizeof(lineRecord_));
    lineRecord_.SizeOfStruct = sizeof(IMAGEHLP_LINE64);
    DWORD lineDisplacement = 0;
    if (symGetLineFromAddr64_ != nullptr &&
        symGetLineFromAddr64_(process_.get(), pc, &lineDisplacement, &lineRecord_) == 1) {
        char file[kModuleFileNameSize];
        std::snprintf(file, sizeof(file), "%s",
                      lineRecord_.FileName != nullptr ? AfterLastBackslash(lineRecord_.FileName)
                                                      : "");
        if (lineDisplacement != 0) {
            ThreadLog(3, kFunction, L"%hs - Source File: %hs, line %04d+%04d byte(s)", kName, file,
                      static_cast<int>(lineRecord_.LineNumber), static_cast<int>(lineDisplacement));
        } else {
            ThreadLog(3, kFunction, L"%hs - Source File: %hs, line %04d", kName, file,
                      static_cast<int>(lineRecord_.LineNumber));
        }
    }
    return 1;
}

void SymbolEngine::DumpMemory(std::uint64_t shownAddress, const void* data,
                              std::int64_t length) noexcept
{
    const std::int64_t rows = length > 0 ? length / 16 : 0;
    ThreadLog(3, "SymbolEngine::DumpMemory", L"Memory dump %016I64X, length %I64d", shownAddress,
              rows * 16);
    const auto* bytes = static_cast<const unsigned char*>(data);
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::int64_t row = 0; row < rows; ++row) {
        char text[100];
        std::snprintf(text, sizeof(text), kRowTemplate,
                      static_cast<unsigned long long>(shownAddress + 16 * row));
        bool readable = true;
        for (int i = 0; i < 16 && readable; ++i) {
            const unsigned char* at = bytes + row * 16 + i;
            readable = Readable(at, 1);
            if (readable) {
                const unsigned char value = *at;
                text[kRowHexStart + 3 * i] = kDigits[value >> 4];
                text[kRowHexStart + 3 * i + 1] = kDigits[value & 15];
                if (value >= 0x20 && value < 0x7F) {
                    text[kRowCharStart + i] = static_cast<char>(value);
                }
            }
        }
        ThreadLog(3, "SymbolEngine::DumpMemory", L"  %hs", text);
        if (!readable || (row + 1 < rows && !Readable(bytes + (row + 1) * 16, 1))) {
            return;
        }
    }
}

void SymbolEngine::DumpMemory(const void* address, std::int64_t length) noexcept
{
    DumpMemory(reinterpret_cast<std::uintptr_t>(address), address, length);
}

int SymbolEngine::CollectCallStackFrames(std::uint64_t framePointer, std::uint64_t stackPointer,
                                         std::uint64_t programCounter,
                                         ThreadCallStackFrames& frames) noexcept
{
    frames.count = 0;
    int walked = 0;
    std::uint64_t fp = framePointer;
    std::uint64_t sp = stackPointer;
    std::uint64_t pc = programCounter;
    while (fp != 0) {
        // Saved frame pointer and return address; an unreadable pair ends the walk.
        const auto* words = static_cast<const std::uint64_t*>(AsPointer(fp));
        if (!Readable(words, 2 * sizeof(std::uint64_t))) {
            break;
        }
        const std::uint64_t savedFramePointer = words[0];
        const std::uint64_t returnAddress = words[1];
        if (frames.count < ThreadCallStackFrames::kStored) {
            STACKFRAME64& frame = frames.frames[frames.count++];
            SetFlat(frame.AddrFrame, fp);
            SetFlat(frame.AddrStack, sp);
            SetFlat(frame.AddrPC, pc);
            if (savedFramePointer != 0 && Readable(words + 2, 4 * sizeof(std::uint64_t))) {
                for (int i = 0; i < 4; ++i) {
                    frame.Params[i] = words[2 + i];
                }
            }
        }
        ++walked;
        pc = returnAddress;
        if (pc == 0) {
            break;
        }
        // A chain must climb: a self-loop or a step down would never end.
        if (savedFramePointer <= fp) {
            break;
        }
        // The caller's stack starts just above the return address.
        sp = fp + 2 * sizeof(std::uint64_t);
        fp = savedFramePointer;
    }
    return walked;
}

namespace {

// The most of a suspended thread's stack copied for the unwind walk.
constexpr std::uint64_t kUnwindCopyLimit = 256 * 1024;

// A copy of the stack from the stack pointer to the end of its committed
// region, taken while the thread is suspended.
struct StackCopy {
    std::uint64_t base = 0;  // the original address of bytes[0]
    std::vector<unsigned char> bytes;

    bool Contains(std::uint64_t address, std::uint64_t length) const noexcept
    {
        return address >= base && address - base + length <= bytes.size();
    }
    std::uint64_t Rebased(std::uint64_t address) const noexcept
    {
        return reinterpret_cast<std::uint64_t>(bytes.data()) + (address - base);
    }
    std::uint64_t Original(std::uint64_t address) const noexcept
    {
        return address - reinterpret_cast<std::uint64_t>(bytes.data()) + base;
    }
};

bool CopyStack(std::uint64_t stackPointer, StackCopy& copy)
{
    MEMORY_BASIC_INFORMATION region = {};
    if (::VirtualQuery(AsPointer(stackPointer), &region, sizeof(region)) == 0 ||
        region.State != MEM_COMMIT) {
        return false;
    }
    const std::uint64_t end =
        reinterpret_cast<std::uint64_t>(region.BaseAddress) + region.RegionSize;
    const std::uint64_t length = std::min(end - stackPointer, kUnwindCopyLimit);
    if (length == 0 || !Readable(AsPointer(stackPointer), length)) {
        return false;
    }
    copy.base = stackPointer;
    copy.bytes.resize(length);  // within the capacity reserved beforehand: no allocation
    std::memcpy(copy.bytes.data(), AsPointer(stackPointer), length);
    return true;
}

// Walks a stack copy with the modules' unwind tables, as the system's own
// unwinder does; used when the frame-pointer chain gives nothing (a thread
// waiting inside a system call, code built without frame pointers). The
// walk reads only the copy, so the thread may run meanwhile.
int UnwindCallStackFrames(const CONTEXT& captured, const StackCopy& copy,
                          ThreadCallStackFrames& frames) noexcept
{
    frames.count = 0;
    if (copy.bytes.empty()) {
        return 0;
    }
    CONTEXT context = captured;
    context.Rsp = copy.Rebased(captured.Rsp);
    if (copy.Contains(captured.Rbp, 0)) {
        context.Rbp = copy.Rebased(captured.Rbp);
    }
    int walked = 0;
    for (int step = 0; step < ThreadCallStackFrames::kRoom && context.Rip != 0; ++step) {
        const std::uint64_t originalSp = copy.Original(context.Rsp);
        const std::uint64_t shownFp =
            context.Rbp >= reinterpret_cast<std::uint64_t>(copy.bytes.data()) &&
                    context.Rbp < reinterpret_cast<std::uint64_t>(copy.bytes.data()) + copy.bytes.size()
                ? copy.Original(context.Rbp)
                : context.Rbp;
        if (frames.count < ThreadCallStackFrames::kStored) {
            STACKFRAME64& frame = frames.frames[frames.count++];
            SetFlat(frame.AddrFrame, shownFp);
            SetFlat(frame.AddrStack, originalSp);
            SetFlat(frame.AddrPC, context.Rip);
        }
        ++walked;
        DWORD64 imageBase = 0;
        RUNTIME_FUNCTION* const function = ::RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        const std::uint64_t before = context.Rsp;
        if (function == nullptr) {
            // A leaf: the return address is on top of the stack.
            if (!copy.Contains(originalSp, sizeof(DWORD64))) {
                break;
            }
            context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
            context.Rsp += sizeof(DWORD64);
        } else {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context,
                               &handlerData, &establisher, nullptr);
        }
        // The walk must climb within the copy; anything else is the end.
        const std::uint64_t low = reinterpret_cast<std::uint64_t>(copy.bytes.data());
        if (context.Rsp <= before || context.Rsp >= low + copy.bytes.size()) {
            break;
        }
        if (copy.Contains(context.Rbp, 0) && !(context.Rbp >= low && context.Rbp < low + copy.bytes.size())) {
            context.Rbp = copy.Rebased(context.Rbp);
        }
    }
    return walked;
}

}  // namespace

bool SymbolEngine::DumpThreadCallStack(HANDLE thread) noexcept
{
    constexpr const char* kFunction = "SymbolEngine::DumpThreadCallStack";
    try {
        unique_handle duplicate;
        if (!::DuplicateHandle(::GetCurrentProcess(), thread, ::GetCurrentProcess(),
                               duplicate.put(), THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE,
                               0)) {
            const SystemErrorText error(::GetLastError());
            ThreadLog(1, kFunction, L"Failed to get duplicate handle (Handle=0x%I64X, Error=%s (%ld))",
                      reinterpret_cast<std::uint64_t>(thread), error.Text(),
                      static_cast<long>(error.Code()));
            return false;
        }
        const std::uint64_t shown = reinterpret_cast<std::uint64_t>(thread);
        // Room for the unwind walk's copy, taken before the thread stops.
        StackCopy stack;
        stack.bytes.reserve(kUnwindCopyLimit);
        if (::SuspendThread(duplicate.get()) == static_cast<DWORD>(-1)) {
            const SystemErrorText error(::GetLastError());
            ThreadLog(1, kFunction, L"Failed to suspended thread Handle=0x%I64X, Error=%s (%ld)",
                      shown, error.Text(), static_cast<long>(error.Code()));
            return false;
        }
        alignas(16) CONTEXT context;
        std::memset(&context, 0, sizeof(context));
        context.ContextFlags = CONTEXT_FULL | CONTEXT_FLOATING_POINT;
        if (!::GetThreadContext(duplicate.get(), &context)) {
            if (::ResumeThread(duplicate.get()) == static_cast<DWORD>(-1)) {
                ThreadLog(1, kFunction, L"Failed to resume suspended thread Handle=0x%I64X", shown);
            }
            ThreadLog(1, kFunction, L"Failed to get thread context for suspended thread Handle=0x%I64X",
                      shown);
            return false;
        }

        // While the thread is stopped it may hold the heap's lock: only the
        // stack is used from here until it runs again.
        const std::uint64_t sp = AlignDown16(context.Rsp);
        const std::uint64_t fp = AlignDown16(context.Rbp);
        const std::uint64_t size = WindowSize(sp, fp);
        unsigned char stackCopy[kMaxWindow];
        unsigned char frameCopy[kExtraWindow];
        const bool stackCopied = Readable(AsPointer(sp), size);
        if (stackCopied) {
            std::memcpy(stackCopy, AsPointer(sp), size);
        }
        const bool frameWanted = NeedsFrameWindow(sp, size, fp);
        const bool frameCopied = frameWanted && Readable(AsPointer(fp), kExtraWindow);
        if (frameCopied) {
            std::memcpy(frameCopy, AsPointer(fp), kExtraWindow);
        }
        ThreadCallStackFrames frames;
        int walked = CollectCallStackFrames(context.Rbp, context.Rsp, context.Rip, frames);
        if (walked == 0) {
            CopyStack(context.Rsp, stack);
        }

        if (::ResumeThread(duplicate.get()) == static_cast<DWORD>(-1)) {
            const SystemErrorText error(::GetLastError());
            ThreadLog(1, kFunction, L"Failed to resume suspended thread Handle=0x%I64X, Error=%s (%ld)",
                      shown, error.Text(), static_cast<long>(error.Code()));
            return false;
        }
        duplicate.reset();

        if (walked == 0) {
            walked = UnwindCallStackFrames(context, stack, frames);
        }
        if (walked == 0) {
            ThreadLog(1, kFunction, L"Failed to extract call stack frames for thread Handle=0x%I64X",
                      shown);
            return false;
        }
        if (!Initialize()) {
            ThreadLog(3, kFunction, L"Error innitializing the symbol engine");
            return false;
        }
        ThreadLog(3, kFunction, L"Stack Frame Context: ESP=%016I64X  EBP=%016I64X", context.Rsp,
                  context.Rbp);
        // An area that could not be copied shows as unreadable from its address.
        DumpMemory(sp, stackCopied ? stackCopy : AsPointer(sp), static_cast<std::int64_t>(size));
        if (frameWanted) {
            DumpMemory(fp, frameCopied ? frameCopy : AsPointer(fp),
                       static_cast<std::int64_t>(kExtraWindow));
        }
        for (int i = 0; i < frames.count; ++i) {
            PrintThreadCallStackFrame(&frames.frames[i]);
        }
        if (frames.count < walked) {
            ThreadLog(3, kFunction, L"Quitting StackWalkDump after %d iterations",
                      static_cast<int>(frames.count));
        }
        Release();
        return true;
    } catch (...) {
        return false;
    }
}

int SymbolEngine::DumpThreadStack(HANDLE thread, CONTEXT* context) noexcept
{
    if (!Initialize()) {
        return 0;
    }
    std::memset(&walkState_, 0, sizeof(walkState_));
    alignas(16) CONTEXT copy;
    CONTEXT* walkContext = nullptr;
    if (context != nullptr) {
        SetFlat(walkState_.AddrPC, context->Rip);
        SetFlat(walkState_.AddrStack, context->Rsp);
        SetFlat(walkState_.AddrFrame, context->Rbp);
        copy = *context;
        walkContext = &copy;
    }
    StackWalkDump(thread, walkContext);
    Release();
    return 1;
}

int SymbolEngine::DumpExceptionStack(EXCEPTION_POINTERS* pointers) noexcept
{
    if (pointers == nullptr) {
        return 0;
    }
    return DumpThreadStack(::GetCurrentThread(), pointers->ContextRecord);
}

int SymbolEngine::DumpStackFromRegisters(std::uint64_t programCounter, std::uint64_t stackPointer,
                                         std::uint64_t framePointer) noexcept
{
    if (!Initialize()) {
        return 0;
    }
    std::memset(&walkState_, 0, sizeof(walkState_));
    SetFlat(walkState_.AddrPC, programCounter);
    SetFlat(walkState_.AddrStack, stackPointer);
    SetFlat(walkState_.AddrFrame, framePointer);
    StackWalkDump(::GetCurrentThread(), nullptr);
    Release();
    return 1;
}

DWORD SymbolEngine::GetCallStackText(HANDLE thread, CONTEXT* context, std::string& text) noexcept
{
    try {
        text += "#-----    Call Stack   -----\n";
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!Initialize()) {
        return ::GetLastError();
    }
    DWORD result = 0;
    try {
        std::memset(&walkState_, 0, sizeof(walkState_));
        alignas(16) CONTEXT copy;
        std::memset(&copy, 0, sizeof(copy));
        if (context != nullptr) {
            copy = *context;
        }
        SetFlat(walkState_.AddrPC, copy.Rip);
        SetFlat(walkState_.AddrStack, copy.Rsp);
        SetFlat(walkState_.AddrFrame, copy.Rbp);
        const auto append = [&text](const char* line) {
            text += line;
            ::OutputDebugStringA(line);
        };
        // Ends the walk; a missing address is the usual end of a stack.
        const auto endCode = [](DWORD code) { return code == ERROR_INVALID_ADDRESS ? 0 : code; };
        for (int number = 1; number <= kMaxTextFrames; ++number) {
            if (!Walk(thread, &copy) || walkState_.AddrFrame.Offset == 0) {
                result = endCode(::GetLastError());
                break;
            }
            const std::uint64_t pc = walkState_.AddrPC.Offset;
            auto* module = reinterpret_cast<IMAGEHLP_MODULE64*>(moduleRecord_);
            std::memset(moduleRecord_, 0, sizeof(moduleRecord_));
            module->SizeOfStruct = kModuleRecordSize;
            const std::uint64_t base =
                symGetModuleBase64_ != nullptr ? symGetModuleBase64_(process_.get(), pc) : 0;
            if (base != 0 && symGetModuleInfo64_ != nullptr) {
                // Without the module record the line still names the symbol.
                symGetModuleInfo64_(process_.get(), pc, module);
            }
            alignas(8) unsigned char symbolRecord[kTextSymbolRecordSize] = {};
            auto* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(symbolRecord);
            symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
            symbol->MaxNameLength = kTextSymbolNameRoom;
            DWORD64 symbolDisplacement = 0;
            if (symGetSymFromAddr64_ == nullptr ||
                !symGetSymFromAddr64_(process_.get(), pc, &symbolDisplacement, symbol)) {
                const DWORD code = ::GetLastError();
                if (code == ERROR_INVALID_ADDRESS) {
                    continue;
                }
                result = code;
                break;
            }
            char line[1024];
            std::snprintf(line, sizeof(line), "#\t%d:\t%s!%s\n", number, module->ModuleName,
                          symbol->Name);
            append(line);
            std::memset(&lineRecord_, 0, sizeof(lineRecord_));
            lineRecord_.SizeOfStruct = sizeof(IMAGEHLP_LINE64);
            DWORD lineDisplacement = 0;
            if (symGetLineFromAddr64_ == nullptr ||
                !symGetLineFromAddr64_(process_.get(), pc, &lineDisplacement, &lineRecord_)) {
                const DWORD code = ::GetLastError();
                if (code == ERROR_INVALID_ADDRESS) {
                    continue;
                }
                result = code;
                break;
            }
            std::snprintf(line, sizeof(line), "#\t\t%s(%lu) %+ld bytes\n",
                          lineRecord_.FileName != nullptr ? lineRecord_.FileName : "",
                          static_cast<unsigned long>(lineRecord_.LineNumber),
                          static_cast<long>(lineDisplacement));
            append(line);
        }
    } catch (...) {
        result = ERROR_NOT_ENOUGH_MEMORY;
    }
    Release();
    return result;
}

void SymbolEngine::CheckSymbolEngine() noexcept
{
    if (Initialize()) {
        Release();
        return;
    }
    ThreadLog(3, "SymbolEngine::CheckSymbolEngine", L"Error innitializing the symbol engine");
}
