#include "common/thread/crash_handler.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/thread/symbol_engine.h"
#include "common/thread/thread_hooks.h"
#include "common/util/unique_resource.h"

namespace {

// Installed and removed from one thread at start-up and shut-down: no lock.
DefaultHandler* g_head = nullptr;

std::atomic<DWORD> g_dumperWaitMilliseconds{15000};
std::atomic<DumperStackWriter> g_dumperStackWriter{nullptr};

// The thread that is writing the crash report; a second fault ends the
// process at once instead of writing the report again.
std::atomic<DWORD> g_filterThread{0};

constexpr DWORD kNameRoom = 512;
SRWLOCK g_nameLock = SRWLOCK_INIT;
char g_nameBuffer[kNameRoom];

struct NamedCode {
    DWORD code;
    const char* name;
};

constexpr NamedCode kNames[] = {
    {0x80000001, "GUARD_PAGE"},
    {0x80000002, "DATATYPE_MISALIGNMENT"},
    {0x80000003, "BREAKPOINT"},
    {0x80000004, "SINGLE_STEP"},
    {0xC0000005, "ACCESS_VIOLATION"},
    {0xC0000006, "IN_PAGE_ERROR"},
    {0xC0000008, "INVALID_HANDLE"},
    {0xC000001D, "ILLEGAL_INSTRUCTION"},
    {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, "INVALID_DISPOSITION"},
    {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "FLT_DENORMAL_OPERAND"},
    {0xC000008E, "FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, "FLT_INEXACT_RESULT"},
    {0xC0000090, "FLT_INVALID_OPERATION"},
    {0xC0000091, "FLT_OVERFLOW"},
    {0xC0000092, "FLT_STACK_CHECK"},
    {0xC0000093, "FLT_UNDERFLOW"},
    {0xC0000094, "INT_DIVIDE_BY_ZERO"},
    {0xC0000095, "INT_OVERFLOW"},
    {0xC0000096, "PRIV_INSTRUCTION"},
    {0xC00000FD, "STACK_OVERFLOW"},
};

const char* TableName(DWORD code) noexcept
{
    for (const NamedCode& entry : kNames) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return nullptr;
}

// Fills the shared buffer with the system's text for `code` and copies it
// out; the caller holds no heap memory, so the crash filter can use it too.
void CopySystemName(DWORD code, char* out, DWORD room) noexcept
{
    ::AcquireSRWLockExclusive(&g_nameLock);
    DWORD length = 0;
    if (const HMODULE ntdll = ::GetModuleHandleA("NTDLL.DLL")) {
        length = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, ntdll,
                                  code, 0, g_nameBuffer, kNameRoom, nullptr);
    }
    while (length > 0 && (g_nameBuffer[length - 1] == '\r' || g_nameBuffer[length - 1] == '\n')) {
        --length;
    }
    g_nameBuffer[length] = '\0';
    const char* text = length > 0 ? g_nameBuffer : "UNKNOWN_EXCEPTION";
    std::strncpy(out, text, room - 1);
    out[room - 1] = '\0';
    ::ReleaseSRWLockExclusive(&g_nameLock);
}

void SetSystemFilter(TopLevelFilter filter) noexcept
{
    // The previous filter is not wanted here.
    static_cast<void>(::SetUnhandledExceptionFilter(filter));
}

void PutHeadFilterBack() noexcept
{
    if (g_head != nullptr) {
        SetSystemFilter(g_head->Filter());
    }
}

[[noreturn]] void EndProcess() noexcept
{
    // -2, and no exit handlers or static destructors: the process is broken.
    ::TerminateProcess(::GetCurrentProcess(), 0xFFFFFFFE);
    for (;;) {
        ::Sleep(INFINITE);
    }
}

unsigned long long HandleValue(HANDLE handle) noexcept
{
    return reinterpret_cast<std::uintptr_t>(handle);
}

using SetHandlerFunction = _invalid_parameter_handler(__cdecl*)(_invalid_parameter_handler);

// MinGW's own _set_invalid_parameter_handler only stores the handler for
// MinGW's code; the C runtime DLL calls the one registered with it, where it
// offers the registration (Wine's msvcrt.dll does not).
SetHandlerFunction RuntimeSetHandler() noexcept
{
    if (const HMODULE runtime = ::GetModuleHandleA("msvcrt.dll")) {
        if (const FARPROC exported = ::GetProcAddress(runtime, "_set_invalid_parameter_handler")) {
            return reinterpret_cast<SetHandlerFunction>(reinterpret_cast<void*>(exported));
        }
    }
    return &::_set_invalid_parameter_handler;
}

}  // namespace

DefaultHandler::DefaultHandler(TopLevelFilter filter) noexcept
    : filter_(filter != nullptr ? filter : &DefaultFilter), next_(g_head)
{
    g_head = this;
    previous_ = ::SetUnhandledExceptionFilter(filter_);
}

DefaultHandler::~DefaultHandler()
{
    // Each handler keeps what it replaced, so removal in reverse order leaves
    // the filter that was there before the first one.
    SetSystemFilter(previous_);
    filter_ = previous_;
    previous_ = nullptr;
    if (g_head == this) {
        g_head = next_;
    }
}

DefaultHandler* DefaultHandler::Head() noexcept
{
    return g_head;
}

LONG WINAPI DefaultFilter(EXCEPTION_POINTERS* pointers)
{
    const DWORD self = ::GetCurrentThreadId();
    DWORD expected = 0;
    if (!g_filterThread.compare_exchange_strong(expected, self)) {
        if (expected == self) {
            EndProcess();  // the report itself faulted
        }
        // Another thread is already writing its report and will end the process.
        for (;;) {
            ::Sleep(INFINITE);
        }
    }
    static const char kFunction[] = "DefaultHandler::DefaultFilter";
    ThreadLog(1, kFunction, L"DefaultHandler - exception caught thread Id=0x%X", self);
    ThreadLog(1, kFunction, L"DefaultHandler - Killing program");
    const EXCEPTION_RECORD* record = pointers != nullptr ? pointers->ExceptionRecord : nullptr;
    if (record != nullptr) {
        const DWORD code = record->ExceptionCode;
        char name[kNameRoom];
        if (const char* known = TableName(code)) {
            std::strcpy(name, known);
        } else {
            CopySystemName(code, name, kNameRoom);
        }
        ThreadLog(3, kFunction, L"Exception code: %08X %hs", code, name);
        ThreadLog(3, kFunction, L"Fault address:  %08X",
                  static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(record->ExceptionAddress)));
    }
    const CONTEXT* context = pointers != nullptr ? pointers->ContextRecord : nullptr;
    if (context != nullptr) {
        ThreadLog(3, kFunction, L"Registers:\tEAX=%08X EBX=%08X ECX=%08X EDX=%08X",
                  static_cast<DWORD>(context->Rax), static_cast<DWORD>(context->Rbx),
                  static_cast<DWORD>(context->Rcx), static_cast<DWORD>(context->Rdx));
        ThreadLog(3, kFunction, L"\t\tESI=%08X EDI=%08X  EBP=%08X  ESP=%08X EIP=%08X FLG=%08X",
                  static_cast<DWORD>(context->Rsi), static_cast<DWORD>(context->Rdi),
                  static_cast<DWORD>(context->Rbp), static_cast<DWORD>(context->Rsp),
                  static_cast<DWORD>(context->Rip), static_cast<DWORD>(context->EFlags));
        ThreadLog(3, kFunction, L"\t\tCS=%04X DS=%04X SS=%04X ES=%04X FS=%04X GS=%04X",
                  context->SegCs, context->SegDs, context->SegSs, context->SegEs, context->SegFs,
                  context->SegGs);
    }
    ThreadLog(3, kFunction, L"------------------Begin Stack Trace------------------");
    if (SymbolEngine* const engine = ProcessSymbolEngine()) {
        static_cast<void>(engine->DumpExceptionStack(pointers));  // nothing to do on failure
    }
    ThreadLog(3, kFunction, L"------------------End Stack Trace------------------");
    ThreadStopLogger();
    EndProcess();
}

const char* ExceptionName(std::uint32_t code) noexcept
{
    if (const char* known = TableName(code)) {
        return known;
    }
    // The shared buffer is refilled by every caller; each thread keeps its
    // own copy so the text it was given is not changed under it.
    thread_local char name[kNameRoom];
    CopySystemName(code, name, kNameRoom);
    return name;
}

HMODULE FilteredLoadLibrary(const char* name) noexcept
{
    const HMODULE module = ::LoadLibraryA(name);
    if (module != nullptr) {
        PutHeadFilterBack();
    }
    return module;
}

HMODULE FilteredLoadLibrary(const wchar_t* name) noexcept
{
    const HMODULE module = ::LoadLibraryW(name);
    if (module != nullptr) {
        PutHeadFilterBack();
    }
    return module;
}

HMODULE FilteredLoadLibrary(const char* name, HANDLE file, DWORD flags) noexcept
{
    const HMODULE module = ::LoadLibraryExA(name, file, flags);
    if (module != nullptr) {
        PutHeadFilterBack();
    }
    return module;
}

HMODULE FilteredLoadLibrary(const wchar_t* name, HANDLE file, DWORD flags) noexcept
{
    const HMODULE module = ::LoadLibraryExW(name, file, flags);
    if (module != nullptr) {
        PutHeadFilterBack();
    }
    return module;
}

void ReinstallFilter(const void* any) noexcept
{
    if (any != nullptr) {
        PutHeadFilterBack();
    }
}

DumperThread::DumperThread(HANDLE thread) noexcept : Thread("Stack Dumper Thread"), thread_(thread) {}

DumperThread::~DumperThread()
{
    // Before this object's part is gone: Run may still be using it.
    Stop();
}

void DumperThread::Run()
{
    bool written = false;
    if (const DumperStackWriter writer = g_dumperStackWriter.load()) {
        written = writer(thread_);
    } else if (SymbolEngine* const engine = ProcessSymbolEngine()) {
        written = engine->DumpThreadCallStack(thread_);
    }
    if (!written) {
        ThreadLog(1, "DumperThread::Run", L"Failed to output thread call stack (Handle=0x%I64X)",
                  HandleValue(thread_));
    }
}

void InvalidParameterHandler(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                             unsigned int line, uintptr_t /*reserved*/)
{
    static const char kFunction[] = "DefaultHandler::InvalidParameterHandler";
    static const wchar_t kUnavailable[] = L"unavailable";
    ThreadLog(3, kFunction,
              L"Invalid parameter supplied to crt function expression '%s', function '%s', in file "
              L"'%s', line %d",
              expression != nullptr ? expression : kUnavailable,
              function != nullptr ? function : kUnavailable, file != nullptr ? file : kUnavailable,
              line);
    unique_handle self;
    if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                           self.put(), 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        ThreadLog(2, kFunction, L"Failed to duplicate HANDLE for dumper process");
        return;
    }
    std::unique_ptr<DumperThread> dumper(new (std::nothrow) DumperThread(self.get()));
    if (!dumper || !dumper->Start()) {
        ThreadLog(2, kFunction, L"Failed to start dumper thread");
        return;
    }
    const DWORD wait = g_dumperWaitMilliseconds.load();
    if (::WaitForSingleObject(dumper->ThreadHandle(), wait) == WAIT_TIMEOUT) {
        // The dumper may hold this thread suspended or be stuck in a lock;
        // the caller must get on.
        static_cast<void>(::TerminateThread(dumper->ThreadHandle(), static_cast<DWORD>(-1)));
        ThreadLog(2, kFunction, L"Dumper thread failed to complete within %d seconds and was terminated",
                  static_cast<int>((wait + 999) / 1000));
    }
    dumper->Stop();
}

InvalidParameterHandlerInstaller::InvalidParameterHandlerInstaller() noexcept
    : previous_(reinterpret_cast<void*>(RuntimeSetHandler()(&InvalidParameterHandler)))
{
}

InvalidParameterHandlerInstaller::~InvalidParameterHandlerInstaller()
{
    static_cast<void>(RuntimeSetHandler()(reinterpret_cast<_invalid_parameter_handler>(previous_)));
}

void SetDumperWaitMilliseconds(DWORD milliseconds) noexcept
{
    g_dumperWaitMilliseconds.store(milliseconds);
}

DumperStackWriter SetDumperStackWriter(DumperStackWriter writer) noexcept
{
    return g_dumperStackWriter.exchange(writer);
}

bool FindSectionOffset(const void* address, char* fileName, DWORD fileNameSize, DWORD& section,
                       std::uintptr_t& offset) noexcept
{
    MEMORY_BASIC_INFORMATION region = {};
    if (::VirtualQuery(address, &region, sizeof region) == 0 || region.AllocationBase == nullptr) {
        return false;
    }
    const HMODULE module = static_cast<HMODULE>(region.AllocationBase);
    if (fileName == nullptr || fileNameSize == 0 ||
        ::GetModuleFileNameA(module, fileName, fileNameSize) == 0) {
        return false;
    }
    const auto* base = static_cast<const BYTE*>(region.AllocationBase);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (::IsBadReadPtr(dos, sizeof(IMAGE_DOS_HEADER)) || dos->e_magic != IMAGE_DOS_SIGNATURE) {
        return false;
    }
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (::IsBadReadPtr(nt, sizeof(IMAGE_NT_HEADERS)) || nt->Signature != IMAGE_NT_SIGNATURE) {
        return false;
    }
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    const WORD count = nt->FileHeader.NumberOfSections;
    if (count == 0 || ::IsBadReadPtr(sections, sizeof(IMAGE_SECTION_HEADER) * count)) {
        return false;
    }
    const std::uintptr_t relative = reinterpret_cast<std::uintptr_t>(address) -
                                    reinterpret_cast<std::uintptr_t>(base);
    for (WORD i = 0; i < count; ++i) {
        const std::uintptr_t start = sections[i].VirtualAddress;
        const DWORD size = sections[i].Misc.VirtualSize > sections[i].SizeOfRawData
                               ? sections[i].Misc.VirtualSize
                               : sections[i].SizeOfRawData;
        if (relative >= start && relative <= start + size) {
            section = i + 1u;
            offset = relative - start;
            return true;
        }
    }
    return false;
}
