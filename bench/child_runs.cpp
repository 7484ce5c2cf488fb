#include "bench/child_runs.h"

#include <cstdlib>
#include <sstream>
#include <string>

namespace bench {

bool StartChild(ChildProcess& child, const std::wstring& mode, const std::wstring& arguments)
{
    return child.Start(L"router-bench.exe", L"--child " + mode + L" " + arguments);
}

bool ChildFigures(ChildProcess& child, DWORD milliseconds, const std::string& tag,
                  std::map<std::string, double>& figures, std::string& output)
{
    DWORD exitCode = 0;
    const bool ended = child.Wait(milliseconds, exitCode);
    output = child.Output();
    if (!ended || exitCode != 0) {
        output += ended ? " (exit code " + std::to_string(exitCode) + ")" : " (still running)";
        return false;
    }
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, tag.size(), tag) != 0) {
            continue;
        }
        std::istringstream words(line.substr(tag.size()));
        std::string word;
        while (words >> word) {
            const auto equals = word.find('=');
            if (equals != std::string::npos) {
                figures[word.substr(0, equals)] = std::strtod(word.c_str() + equals + 1, nullptr);
            }
        }
        return true;
    }
    return false;
}

}  // namespace bench
