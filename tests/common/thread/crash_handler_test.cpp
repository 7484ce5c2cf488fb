#include "common/thread/crash_handler.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "tools/host/provider_module.h"

namespace {

// The filter the system holds now, read without changing it.
LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter()
{
    const LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(nullptr);
    ::SetUnhandledExceptionFilter(current);
    return current;
}

// Puts back the filter a test found, whatever the test left behind.
class FilterRestorer {
public:
    FilterRestorer() : saved_(CurrentFilter()) {}
    ~FilterRestorer() { ::SetUnhandledExceptionFilter(saved_); }

private:
    LPTOP_LEVEL_EXCEPTION_FILTER saved_;
};

LONG WINAPI FirstFilter(EXCEPTION_POINTERS*)
{
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI SecondFilter(EXCEPTION_POINTERS*)
{
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI ForeignFilter(EXCEPTION_POINTERS*)
{
    return EXCEPTION_CONTINUE_SEARCH;
}

struct ChildRun {
    DWORD exitCode = 0;
    std::vector<std::string> lines;  // the log lines and the child's own, in order
};

// Runs crash-child and keeps the lines it wrote itself: "level|..." or "child|...".
ChildRun RunChild(const std::wstring& arguments)
{
    ChildRun run;
    ChildProcess child;
    EXPECT_TRUE(child.Start(L"crash-child.exe", arguments));
    EXPECT_TRUE(child.Wait(60000, run.exitCode));
    std::istringstream output(child.Output());
    static const std::regex kOwnLine("^([0-9]+|child)\\|.*");
    for (std::string line; std::getline(output, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (std::regex_match(line, kOwnLine)) {
            run.lines.push_back(line);
        }
    }
    return run;
}

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::string all;
    for (const std::string& line : lines) {
        all += line + "\n";
    }
    return all;
}

const char kInvalidParameterLine[] =
    "3|Invalid parameter supplied to crt function expression 'stream != NULL', function "
    "'fclose', in file 'fclose.c', line 42";
const char kInvalidParameterLineWithoutTexts[] =
    "3|Invalid parameter supplied to crt function expression 'unavailable', function "
    "'unavailable', in file 'unavailable', line 0";

TEST(DefaultFilterChild, AccessViolationWritesTheReportInOrderAndEndsWithMinusTwo)
{
    const ChildRun run = RunChild(L"access-violation");
    EXPECT_EQ(run.exitCode, 0xFFFFFFFEu);
    const std::vector<std::string>& lines = run.lines;
    ASSERT_GE(lines.size(), 10u) << JoinLines(lines);

    std::smatch child;
    ASSERT_TRUE(std::regex_match(lines[0], child,
                                 std::regex("child\\|thread=([0-9A-F]+) function=([0-9A-F]{8})")))
        << lines[0];
    const unsigned long function = std::stoul(child[2].str(), nullptr, 16);

    EXPECT_EQ(lines[1], "1|DefaultHandler - exception caught thread Id=0x" + child[1].str());
    EXPECT_EQ(lines[2], "1|DefaultHandler - Killing program");
    EXPECT_EQ(lines[3], "3|Exception code: C0000005 ACCESS_VIOLATION");

    std::smatch fault;
    ASSERT_TRUE(std::regex_match(lines[4], fault, std::regex("3\\|Fault address:  ([0-9A-F]{8})")))
        << lines[4];
    const unsigned long faultAddress = std::stoul(fault[1].str(), nullptr, 16);
    // The faulting store is one of the first instructions of the function.
    EXPECT_GE(faultAddress, function);
    EXPECT_LT(faultAddress, function + 64);

    EXPECT_TRUE(std::regex_match(
        lines[5], std::regex("3\\|Registers:\tEAX=[0-9A-F]{8} EBX=[0-9A-F]{8} ECX=[0-9A-F]{8} "
                             "EDX=[0-9A-F]{8}")))
        << lines[5];
    EXPECT_TRUE(std::regex_match(
        lines[6], std::regex("3\\|\t\tESI=[0-9A-F]{8} EDI=[0-9A-F]{8}  EBP=[0-9A-F]{8}  "
                             "ESP=[0-9A-F]{8} EIP=" + fault[1].str() + " FLG=[0-9A-F]{8}")))
        << lines[6];
    EXPECT_TRUE(std::regex_match(
        lines[7], std::regex("3\\|\t\tCS=[0-9A-F]{4} DS=[0-9A-F]{4} SS=[0-9A-F]{4} ES=[0-9A-F]{4} "
                             "FS=[0-9A-F]{4} GS=[0-9A-F]{4}")))
        << lines[7];
    EXPECT_EQ(lines[8], "3|------------------Begin Stack Trace------------------");
    EXPECT_EQ(lines.back(), "3|------------------End Stack Trace------------------");

    bool namesFaultingFunction = false;
    for (std::size_t i = 9; i + 1 < lines.size(); ++i) {
        namesFaultingFunction =
            namesFaultingFunction || lines[i].find("CrashChildFaultingFunction") != std::string::npos;
    }
    EXPECT_TRUE(namesFaultingFunction) << JoinLines(lines);
}

TEST(ExceptionName, NamesEveryCodeOfTheTable)
{
    const struct {
        std::uint32_t code;
        const char* name;
    } cases[] = {
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
    for (const auto& c : cases) {
        EXPECT_STREQ(ExceptionName(c.code), c.name) << std::hex << c.code;
    }
}

TEST(ExceptionName, CodeOutsideTheTableWithoutASystemTextIsUnknownException)
{
    // This platform's NTDLL.DLL carries no message table, so no code has a
    // system text here.
    char text[512] = {};
    ASSERT_EQ(::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                               ::GetModuleHandleA("NTDLL.DLL"), 0xC0000017, 0, text, sizeof text,
                               nullptr),
              0u);
    EXPECT_STREQ(ExceptionName(0xC0000017), "UNKNOWN_EXCEPTION");
    EXPECT_STREQ(ExceptionName(0xE0001234), "UNKNOWN_EXCEPTION");
}

TEST(DefaultHandler, TwoHandlersRemovedInReverseLeaveTheFilterAsBefore)
{
    FilterRestorer restorer;
    ::SetUnhandledExceptionFilter(&ForeignFilter);
    ASSERT_EQ(DefaultHandler::Head(), nullptr);
    {
        DefaultHandler first(&FirstFilter);
        EXPECT_EQ(CurrentFilter(), &FirstFilter);
        EXPECT_EQ(DefaultHandler::Head(), &first);
        {
            DefaultHandler second(&SecondFilter);
            EXPECT_EQ(CurrentFilter(), &SecondFilter);
            EXPECT_EQ(DefaultHandler::Head(), &second);
        }
        EXPECT_EQ(CurrentFilter(), &FirstFilter);
        EXPECT_EQ(DefaultHandler::Head(), &first);
    }
    EXPECT_EQ(CurrentFilter(), &ForeignFilter);
    EXPECT_EQ(DefaultHandler::Head(), nullptr);
}

TEST(DefaultHandler, WithoutAFilterInstallsDefaultFilter)
{
    FilterRestorer restorer;
    DefaultHandler handler;
    EXPECT_EQ(handler.Filter(), &DefaultFilter);
    EXPECT_EQ(CurrentFilter(), &DefaultFilter);
}

// The four loading forms, each on the library that installs its own filter.
HMODULE LoadThroughForm(int form, const std::wstring& path)
{
    const std::string narrow(path.begin(), path.end());  // the build path is ASCII
    switch (form) {
    case 0: return FilteredLoadLibrary(narrow.c_str());
    case 1: return FilteredLoadLibrary(path.c_str());
    case 2: return FilteredLoadLibrary(narrow.c_str(), nullptr, 0);
    default: return FilteredLoadLibrary(path.c_str(), nullptr, 0);
    }
}

void* LibraryFilterOf(HMODULE library)
{
    using Getter = void* (*)();
    const auto getter = reinterpret_cast<Getter>(
        reinterpret_cast<void*>(::GetProcAddress(library, "CrashFilterLibraryFilter")));
    return getter != nullptr ? getter() : nullptr;
}

TEST(FilteredLoadLibrary, PutsTheHeadFilterBackAfterTheLibrarySetItsOwn)
{
    FilterRestorer restorer;
    const std::wstring path = FileBesideProgram(L"crash_filter_library.dll");
    DefaultHandler handler(&FirstFilter);
    for (int form = 0; form < 4; ++form) {
        const HMODULE library = LoadThroughForm(form, path);
        ASSERT_NE(library, nullptr) << form;
        EXPECT_NE(LibraryFilterOf(library), nullptr) << form;
        EXPECT_EQ(CurrentFilter(), &FirstFilter) << form;
        ASSERT_TRUE(::FreeLibrary(library));  // the next load runs its DllMain again
        ASSERT_EQ(::GetModuleHandleW(path.c_str()), nullptr);
    }
}

TEST(FilteredLoadLibrary, LeavesTheLibraryFilterWhenNoHandlerIsInstalled)
{
    FilterRestorer restorer;
    const std::wstring path = FileBesideProgram(L"crash_filter_library.dll");
    ASSERT_EQ(DefaultHandler::Head(), nullptr);
    for (int form = 0; form < 4; ++form) {
        ::SetUnhandledExceptionFilter(&ForeignFilter);
        const HMODULE library = LoadThroughForm(form, path);
        ASSERT_NE(library, nullptr) << form;
        void* const libraryFilter = LibraryFilterOf(library);
        EXPECT_NE(libraryFilter, nullptr) << form;
        EXPECT_EQ(reinterpret_cast<void*>(CurrentFilter()), libraryFilter) << form;
        ::SetUnhandledExceptionFilter(&ForeignFilter);  // not the library's once it is gone
        ASSERT_TRUE(::FreeLibrary(library));
    }
}

TEST(FilteredLoadLibrary, FailedLoadReturnsNullAndLeavesTheFilter)
{
    FilterRestorer restorer;
    DefaultHandler handler(&FirstFilter);
    ::SetUnhandledExceptionFilter(&ForeignFilter);
    EXPECT_EQ(FilteredLoadLibrary(L"no_such_library_here.dll"), nullptr);
    EXPECT_EQ(CurrentFilter(), &ForeignFilter);
}

TEST(ReinstallFilter, SetsTheHeadFilterOnlyForAPointer)
{
    FilterRestorer restorer;
    DefaultHandler handler(&FirstFilter);
    ::SetUnhandledExceptionFilter(&ForeignFilter);
    ReinstallFilter(nullptr);
    EXPECT_EQ(CurrentFilter(), &ForeignFilter);
    ReinstallFilter(&handler);
    EXPECT_EQ(CurrentFilter(), &FirstFilter);
}

TEST(InvalidParameterHandlerChild, WritesItsLineAndHasTheDumperWriteTheStackThenReturns)
{
    const ChildRun run = RunChild(L"invalid-parameter");
    EXPECT_EQ(run.exitCode, 0u);
    const std::vector<std::string>& lines = run.lines;
    ASSERT_GE(lines.size(), 3u) << JoinLines(lines);
    EXPECT_EQ(lines.front(), kInvalidParameterLine);
    EXPECT_EQ(lines.back(), "child|returned");
    // Between them only what the symbol engine's dump wrote on the dumper
    // thread, never a time-out; its frames reach the function that passed
    // the bad parameter, waiting in the handler meanwhile.
    bool named = false;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i].find("Dumper thread failed"), std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].rfind("child|", 0), std::string::npos) << lines[i];
        named = named || lines[i].find("Symbol Information: PassBadParameter") != std::string::npos;
    }
    EXPECT_TRUE(named) << JoinLines(lines);
}

TEST(InvalidParameterHandlerChild, EndsADumperThatDoesNotFinishInTime)
{
    // 500 ms, shown as the whole seconds it starts to count.
    const ChildRun run = RunChild(L"dumper-timeout 500");
    EXPECT_EQ(run.exitCode, 0u);
    const std::vector<std::string> expected = {
        kInvalidParameterLineWithoutTexts,
        "2|Dumper thread failed to complete within 1 seconds and was terminated",
        "child|returned",
        "child|writer entered",
    };
    EXPECT_EQ(run.lines, expected) << JoinLines(run.lines);
}

TEST(InvalidParameterHandlerChild, ReportsADumperThatCouldNotWriteTheStack)
{
    const ChildRun run = RunChild(L"dumper-failure");
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.lines.size(), 3u) << JoinLines(run.lines);
    EXPECT_EQ(run.lines[0], kInvalidParameterLineWithoutTexts);
    EXPECT_TRUE(std::regex_match(run.lines[1],
                                 std::regex("1\\|Failed to output thread call stack \\(Handle=0x[0-9A-F]+\\)")))
        << run.lines[1];
    EXPECT_EQ(run.lines[2], "child|returned");
}

using HandlerGetter = _invalid_parameter_handler(__cdecl*)();

// Where the C runtime DLL keeps the handler it calls, or MinGW's own where
// the DLL offers no registration.
_invalid_parameter_handler RegisteredHandler()
{
    const FARPROC exported =
        ::GetProcAddress(::GetModuleHandleA("msvcrt.dll"), "_get_invalid_parameter_handler");
    const HandlerGetter get = exported != nullptr
                                  ? reinterpret_cast<HandlerGetter>(reinterpret_cast<void*>(exported))
                                  : &::_get_invalid_parameter_handler;
    return get();
}

TEST(InvalidParameterHandlerInstaller, RegistersTheHandlerWhileItLives)
{
    const _invalid_parameter_handler before = RegisteredHandler();
    {
        InvalidParameterHandlerInstaller installer;
        EXPECT_EQ(RegisteredHandler(), &InvalidParameterHandler);
    }
    EXPECT_EQ(RegisteredHandler(), before);
}

__attribute__((noinline)) int FunctionOfTheTest(int value)
{
    return value * 3 + 1;
}

TEST(FindSectionOffset, FindsAFunctionOfTheTestInItsCodeSection)
{
    char fileName[MAX_PATH] = {};
    DWORD section = 0;
    std::uintptr_t offset = 0;
    const void* const address = reinterpret_cast<const void*>(&FunctionOfTheTest);
    ASSERT_TRUE(FindSectionOffset(address, fileName, sizeof fileName, section, offset));

    char programName[MAX_PATH] = {};
    ASSERT_NE(::GetModuleFileNameA(nullptr, programName, sizeof programName), 0u);
    EXPECT_STREQ(fileName, programName);
    EXPECT_EQ(section, 1u);

    const auto* base = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_SECTION_HEADER& text = IMAGE_FIRST_SECTION(nt)[0];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.Name), 5), ".text");
    EXPECT_EQ(offset, reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(base) -
                          text.VirtualAddress);
    EXPECT_LT(offset, static_cast<std::uintptr_t>(text.Misc.VirtualSize));
}

TEST(FindSectionOffset, AnAddressOutsideAnyModuleIsNotFound)
{
    int onTheStack = 0;
    char fileName[MAX_PATH] = {};
    DWORD section = 0;
    std::uintptr_t offset = 0;
    EXPECT_FALSE(FindSectionOffset(&onTheStack, fileName, sizeof fileName, section, offset));
}

}  // namespace
