#include "bench/report.h"

#include <cstdarg>
#include <cstdio>

namespace bench {

std::string Format(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void Report::Section(const char* title)
{
    std::printf("\n== %s\n", title);
    std::fflush(stdout);
}

void Report::Line(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::printf("   %s\n", text);
    std::fflush(stdout);
}

void Report::Figure(const char* label, const Summary& s, const char* unit, int decimals)
{
    Line("%-30s median %.*f %s  (IQR %.*f-%.*f, min %.*f, max %.*f; n=%zu)", label, decimals, s.median, unit,
         decimals, s.q1, decimals, s.q3, decimals, s.min, decimals, s.max, s.count);
}

void Report::Goal(const std::string& what, const std::string& figure, const std::string& goal, bool met)
{
    goals_.push_back({what, figure, goal, met ? "met" : "MISSED"});
}

void Report::Info(const std::string& what, const std::string& figure, const std::string& note)
{
    goals_.push_back({what, figure, note, ""});
}

void Report::Error(const std::string& what)
{
    errors_.push_back(what);
    std::printf("   NOT TAKEN: %s\n", what.c_str());
    std::fflush(stdout);
}

int Report::Finish()
{
    Section("Figures against their goals");
    std::printf("   %-40s %-34s %-22s %s\n", "measurement", "figure", "goal", "");
    for (const GoalRow& row : goals_) {
        std::printf("   %-40s %-34s %-22s %s\n", row.what.c_str(), row.figure.c_str(), row.goal.c_str(),
                    row.verdict);
    }
    for (const std::string& error : errors_) {
        std::printf("   not taken: %s\n", error.c_str());
    }
    std::fflush(stdout);
    return errors_.empty() ? 0 : 1;
}

}  // namespace bench
