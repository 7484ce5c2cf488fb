#include "child_process.h"

#include <vector>

#include "WMIRouterClient/wmirouter_perf.h"
#include "tools/host/provider_module.h"
#include "wait_until.h"

ChildProcess::~ChildProcess()
{
    if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process_.get(), 255);
        ::WaitForSingleObject(process_.get(), 10000);
    }
    if (reader_.joinable()) {
        reader_.join();  // the pipe breaks when the child has gone
    }
}

bool ChildProcess::Start(const std::wstring& program, const std::wstring& arguments)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    unique_handle writeEnd;
    if (!::CreatePipe(output_.put(), writeEnd.put(), &inheritable, 0) ||
        !::SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0)) {
        return false;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    // A bare name is a program installed beside the test program.
    const std::wstring path =
        program.find_first_of(L"\\:") == std::wstring::npos ? FileBesideProgram(program.c_str()) : program;
    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(path.c_str(), buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &info)) {
        return false;
    }
    ::CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    writeEnd.reset();  // the child holds the only write end now
    // Polled rather than read to the end: a program the child starts (Wine
    // starts a desktop process for GUI programs) may inherit the write end
    // and keep the pipe open long after the child itself has gone.
    reader_ = std::thread([this] {
        char chunk[4096];
        for (;;) {
            DWORD available = 0;
            if (!::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) {
                break;  // every writer has gone
            }
            if (available > 0) {
                DWORD read = 0;
                if (!::ReadFile(output_.get(), chunk, available < sizeof chunk ? available : sizeof chunk, &read,
                                nullptr)) {
                    break;
                }
                std::lock_guard<std::mutex> guard(lock_);
                captured_.append(chunk, read);
                continue;
            }
            if (::WaitForSingleObject(process_.get(), 5) == WAIT_OBJECT_0 &&
                (!::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr) || available == 0)) {
                break;  // the child has ended and everything it wrote is read
            }
        }
    });
    return true;
}

bool ChildProcess::Wait(DWORD milliseconds, DWORD& exitCode)
{
    if (!process_ || ::WaitForSingleObject(process_.get(), milliseconds) != WAIT_OBJECT_0) {
        return false;
    }
    if (reader_.joinable()) {
        reader_.join();
    }
    return ::GetExitCodeProcess(process_.get(), &exitCode) != FALSE;
}

std::string ChildProcess::Output() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return captured_;
}

long RunToEnd(const std::wstring& program, const std::wstring& arguments, std::string& output,
              DWORD milliseconds)
{
    ChildProcess child;
    if (!child.Start(program, arguments)) {
        output = "cannot start the program";
        return -1;
    }
    DWORD exitCode = 0;
    const bool ended = child.Wait(milliseconds, exitCode);
    output = child.Output();
    return ended ? static_cast<long>(exitCode) : -1;
}

bool StartRouterSim(ChildProcess& router, const std::wstring& arguments)
{
    return router.Start(L"router-sim.exe", arguments) && WaitUntil([] {
        return unique_handle(::OpenFileMappingW(FILE_MAP_READ, FALSE, kRouterBlockName)).get() != nullptr;
    }, 30000);
}

std::wstring SystemProgram(const wchar_t* name)
{
    wchar_t folder[MAX_PATH] = {};
    ::GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\" + name;
}
