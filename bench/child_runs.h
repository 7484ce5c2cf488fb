#pragma once

// The benchmark's own program run again as a child process for a
// measurement that needs a process of its own; the child prints one line of
// key=value figures.

#include <map>
#include <string>

#include "child_process.h"

namespace bench {

// Starts "router-bench.exe --child <mode> <arguments>".
bool StartChild(ChildProcess& child, const std::wstring& mode, const std::wstring& arguments);

// The key=value pairs of the child's line that starts with `tag`; false when
// the child failed or printed no such line (its output in `output`).
bool ChildFigures(ChildProcess& child, DWORD milliseconds, const std::string& tag,
                  std::map<std::string, double>& figures, std::string& output);

}  // namespace bench
