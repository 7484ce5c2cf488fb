#pragma once

// The common library's process-wide objects, built in one place in the
// order written here and destroyed in reverse. A process holds one: the DLL
// defines it among its own globals, a host program through the
// common_library_instance target. C++ leaves the order of static
// initialisation across files open; members of one object have a fixed one.

#include "common/environment/charset_table.h"
#include "common/environment/report_environment.h"
#include "common/logger/process_logger.h"
#include "common/thread/symbol_engine.h"
#include "common/thread/timer.h"

// Told after each object is built (`built` true) and before it is destroyed
// (`built` false); for tests that check the order.
using LibraryAssemblyObserver = void (*)(const char* object, bool built, void* context);

class CommonLibrary {
public:
    explicit CommonLibrary(LibraryAssemblyObserver observer = nullptr,
                           void* observerContext = nullptr) noexcept;
    ~CommonLibrary();
    CommonLibrary(const CommonLibrary&) = delete;
    CommonLibrary& operator=(const CommonLibrary&) = delete;

    DebugLogger& Logger() noexcept { return logger_.Logger(); }
    const CharsetTable& Charsets() const noexcept { return charsets_.table; }

private:
    // Reports the object declared just before it: built once that object
    // is, and going before it goes.
    class Step {
    public:
        Step(const CommonLibrary& library, const char* object) noexcept;
        ~Step();
        Step(const Step&) = delete;
        Step& operator=(const Step&) = delete;

    private:
        const CommonLibrary& library_;
        const char* object_;
    };

    // The Windows-1252 flag is set from the system's ANSI code page.
    struct Windows1252Flag {
        Windows1252Flag() noexcept;
    };

    // The charset table, reachable through ProcessCharsetTable while it lives.
    struct ProcessCharsets {
        ProcessCharsets() noexcept;
        ~ProcessCharsets();
        ProcessCharsets(const ProcessCharsets&) = delete;
        ProcessCharsets& operator=(const ProcessCharsets&) = delete;
        const CharsetTable table;
    };

    LibraryAssemblyObserver observer_;
    void* observerContext_;

    TimerSubsystemReference firstTimerReference_;
    Step firstTimerReferenceStep_{*this, "timer reference 1"};
    // The logger with its environment report; the registry is built first.
    ProcessLogger logger_;
    Step loggerStep_{*this, "debug logger and thread registry"};
    ReportEnvironment report_;
    Step reportStep_{*this, "environment report"};
    Windows1252Flag windows1252_;
    Step windows1252Step_{*this, "windows-1252 flag"};
    ProcessCharsets charsets_;
    Step charsetsStep_{*this, "charset table"};
    TimerSubsystemReference secondTimerReference_;
    Step secondTimerReferenceStep_{*this, "timer reference 2"};
    ProcessSymbolEngineHolder symbolEngine_;
    Step symbolEngineStep_{*this, "symbol engine"};
    TimerSubsystemReference thirdTimerReference_;
    Step thirdTimerReferenceStep_{*this, "timer reference 3"};
};
