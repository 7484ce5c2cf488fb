#pragma once

// What the benchmark prints: one section per measurement as it completes,
// then every figure beside its goal.

#include <string>
#include <vector>

#include "bench/harness.h"

namespace bench {

class Report {
public:
    void Section(const char* title);
    // A line of a section, printf-style.
    void Line(const char* format, ...);
    // "label: median M (IQR q1-q3, min-max) unit".
    void Figure(const char* label, const Summary& summary, const char* unit, int decimals = 0);
    void Goal(const std::string& what, const std::string& figure, const std::string& goal, bool met);
    // A figure listed with the goals that has none of its own.
    void Info(const std::string& what, const std::string& figure, const std::string& note);
    void Error(const std::string& what);

    // The goal table; the exit code: 0 when every measurement ran (a missed
    // goal is a figure, not a failure), 1 when one could not be taken.
    int Finish();

private:
    struct GoalRow {
        std::string what;
        std::string figure;
        std::string goal;
        const char* verdict;
    };
    std::vector<GoalRow> goals_;
    std::vector<std::string> errors_;
};

std::string Format(const char* format, ...);

}  // namespace bench
