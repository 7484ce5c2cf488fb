#include "common/common_library.h"

#include "common/util/ansi_text.h"

namespace {

// The table lookups reach, while the library object lives.
const CharsetTable* g_charsets = nullptr;

// Short of memory at load, the table stays empty rather than ending the
// process: only a lookup by charset name goes without it.
CharsetTable LoadTimeCharsetTable() noexcept
{
    try {
        return BuildCharsetTable();
    } catch (...) {
        return CharsetTable();
    }
}

}  // namespace

CommonLibrary::Step::Step(const CommonLibrary& library, const char* object) noexcept
    : library_(library), object_(object)
{
    if (library_.observer_ != nullptr) {
        library_.observer_(object_, true, library_.observerContext_);
    }
}

CommonLibrary::Step::~Step()
{
    if (library_.observer_ != nullptr) {
        library_.observer_(object_, false, library_.observerContext_);
    }
}

CommonLibrary::Windows1252Flag::Windows1252Flag() noexcept
{
    SetWindows1252Flag(AnsiCodePageIs1252());
}

CommonLibrary::ProcessCharsets::ProcessCharsets() noexcept : table(LoadTimeCharsetTable())
{
    if (g_charsets == nullptr) {
        g_charsets = &table;
    }
}

CommonLibrary::ProcessCharsets::~ProcessCharsets()
{
    if (g_charsets == &table) {
        g_charsets = nullptr;
    }
}

CommonLibrary::CommonLibrary(LibraryAssemblyObserver observer, void* observerContext) noexcept
    : observer_(observer), observerContext_(observerContext)
{
    // Every log file begins with the report; the logger thread is not
    // running yet, so the logger may take it now.
    logger_.Logger().SetEnvironmentReport([this] { report_.ReportEnvironmentVersions(); });
}

CommonLibrary::~CommonLibrary()
{
    // A host may leave the logger running at exit, with threads still
    // logging: they lose the logger first, so that its queue stops growing,
    // then it stops, before the report it may still run goes.
    logger_.Withdraw();
    logger_.Logger().Stop();
    logger_.Logger().SetEnvironmentReport(nullptr);
}

const CharsetTable* ProcessCharsetTable() noexcept
{
    return g_charsets;
}
