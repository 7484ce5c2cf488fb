#pragma once

// A program beside the test program, run as its own process with its
// standard output and error captured. A child still running when the
// object goes is ended.

#include <windows.h>

#include <mutex>
#include <string>
#include <thread>

#include "common/util/unique_resource.h"

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // `program` is a full path, or the name of a program beside the test program.
    bool Start(const std::wstring& program, const std::wstring& arguments);
    // False when the child has not ended within `milliseconds`.
    bool Wait(DWORD milliseconds, DWORD& exitCode);
    // Everything written so far.
    std::string Output() const;

private:
    unique_handle process_;
    unique_handle output_;
    std::thread reader_;
    mutable std::mutex lock_;
    std::string captured_;
};

// Runs a program to its end; the exit code, or -1 when it outlived `milliseconds`.
long RunToEnd(const std::wstring& program, const std::wstring& arguments, std::string& output,
              DWORD milliseconds = 60000);

// Starts router-sim with `arguments` and waits until its block exists.
bool StartRouterSim(ChildProcess& router, const std::wstring& arguments);

// A program of the system folder (regsvr32.exe, reg.exe, cmd.exe).
std::wstring SystemProgram(const wchar_t* name);
