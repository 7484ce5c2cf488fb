// The library's process-wide objects come up in one fixed order and go in the
// reverse one; each is reachable exactly while it lives.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/common_library.h"
#include "common/logger/log_entry_points.h"
#include "common/util/ansi_text.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// The timer subsystem's count, read without changing it.
long TimerReferences()
{
    AddTimerSubsystemReference();
    return ReleaseTimerSubsystemReference();
}

struct Snapshot {
    std::string object;
    bool built;
    bool logger;
    bool registry;
    bool symbols;
    bool charsets;
    long timerReferences;
};

void Record(const char* object, bool built, void* context)
{
    static_cast<std::vector<Snapshot>*>(context)->push_back(
        {object, built, ProcessDebugLogger() != nullptr, ProcessThreadRegistry() != nullptr,
         ProcessSymbolEngine() != nullptr, ProcessCharsetTable() != nullptr, TimerReferences()});
}

std::vector<std::string> Objects(const std::vector<Snapshot>& steps, bool built)
{
    std::vector<std::string> names;
    for (const Snapshot& step : steps) {
        if (step.built == built) {
            names.push_back(step.object);
        }
    }
    return names;
}

const std::vector<std::string> kOrder = {
    "timer reference 1", "debug logger and thread registry", "environment report",
    "windows-1252 flag", "charset table", "timer reference 2", "symbol engine",
    "timer reference 3",
};

TEST(CommonLibrary, BuildsItsObjectsInTheFixedOrderAndDestroysThemInReverse)
{
    ASSERT_EQ(nullptr, ProcessDebugLogger()) << "this program must hold no other library object";
    const bool flag = SetWindows1252Flag(!AnsiCodePageIs1252());
    std::vector<Snapshot> steps;
    {
        CommonLibrary library(&Record, &steps);
        EXPECT_EQ(Windows1252Flag(), AnsiCodePageIs1252());
        ASSERT_NE(nullptr, ProcessCharsetTable());
        std::int32_t codePage = 0;
        EXPECT_TRUE(ProcessCharsetTable()->Lookup(L"UTF-8", codePage));
        EXPECT_EQ(65001, codePage);
        EXPECT_EQ(&library.Logger(), ProcessDebugLogger());
        EXPECT_EQ(3, TimerReferences());
    }
    SetWindows1252Flag(flag);

    EXPECT_THAT(Objects(steps, true), ElementsAreArray(kOrder));
    std::vector<std::string> reversed(kOrder.rbegin(), kOrder.rend());
    EXPECT_THAT(Objects(steps, false), ElementsAreArray(reversed));

    // What each step finds reachable as the objects come and go.
    ASSERT_EQ(steps.size(), 2 * kOrder.size());
    const Snapshot& firstTimer = steps[0];
    EXPECT_EQ(1, firstTimer.timerReferences);
    EXPECT_FALSE(firstTimer.logger);
    const Snapshot& logger = steps[1];
    EXPECT_TRUE(logger.logger && logger.registry);
    EXPECT_FALSE(logger.charsets);
    EXPECT_FALSE(logger.symbols);
    EXPECT_EQ(2, steps[5].timerReferences);
    EXPECT_TRUE(steps[6].symbols);
    EXPECT_EQ(3, steps[7].timerReferences);
    // Going: the entry points lose the logger before anything goes (threads
    // still logging must not keep its queue growing while it stops); the
    // symbol engine is still there when its step is told.
    for (std::size_t i = kOrder.size(); i < steps.size(); ++i) {
        EXPECT_FALSE(steps[i].logger) << steps[i].object;
    }
    EXPECT_TRUE(steps[9].symbols);
    EXPECT_TRUE(steps[11].charsets);
    EXPECT_EQ(1, steps[15].timerReferences);

    EXPECT_EQ(nullptr, ProcessDebugLogger());
    EXPECT_EQ(nullptr, ProcessThreadRegistry());
    EXPECT_EQ(nullptr, ProcessSymbolEngine());
    EXPECT_EQ(nullptr, ProcessCharsetTable());
    EXPECT_EQ(0, TimerReferences());
}

}  // namespace
