// The caller's side of the reporting convention.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/util/log_callback.h"

namespace {

struct Received {
    std::int32_t level;
    std::int32_t reserved[3];
    std::wstring message;
    std::string function;
    std::int32_t line;
    LogContext* context;
};
std::vector<Received> g_received;

LogContext* Recorder(std::int32_t level, std::int32_t r1, std::int32_t r2, std::int32_t r3,
                     const wchar_t* message, const char* function, std::int32_t line,
                     LogContext* context)
{
    g_received.push_back({level, {r1, r2, r3}, message, function, line, context});
    return context;
}

// Writable memory posing as a callback: it must never be called.
unsigned char g_writableBytes[16] = {0xCC};

class ReportToCallbackTest : public ::testing::Test {
protected:
    void SetUp() override { g_received.clear(); }
};

TEST_F(ReportToCallbackTest, PresenceMeansNonNullAndNotWritable)
{
    EXPECT_TRUE(IsLogCallbackPresent(&Recorder));
    EXPECT_FALSE(IsLogCallbackPresent(nullptr));
    EXPECT_FALSE(IsLogCallbackPresent(reinterpret_cast<LogCallback>(g_writableBytes)));
}

TEST_F(ReportToCallbackTest, FormatsWithWindowsWideConventionsAndPassesReservedZeros)
{
    LogContext context;
    ReportToCallback(&Recorder, 1, "CPerfDataSource::Initialize", 42, &context,
                     L"Could not %s: %d - %s (%hs)", L"start", 5, L"Access denied.", "narrow");
    ASSERT_EQ(1u, g_received.size());
    const Received& r = g_received[0];
    EXPECT_EQ(1, r.level);
    EXPECT_EQ(0, r.reserved[0]);
    EXPECT_EQ(0, r.reserved[1]);
    EXPECT_EQ(0, r.reserved[2]);
    EXPECT_EQ(L"Could not start: 5 - Access denied. (narrow)", r.message);
    EXPECT_EQ("CPerfDataSource::Initialize", r.function);
    EXPECT_EQ(42, r.line);
    EXPECT_EQ(&context, r.context);
}

TEST_F(ReportToCallbackTest, LongMessagesAreCutTo2047Units)
{
    const std::wstring text(5000, L'y');
    ReportToCallback(&Recorder, 3, "A::B", 1, nullptr, L"%s", text.c_str());
    ASSERT_EQ(1u, g_received.size());
    EXPECT_EQ(text.substr(0, 2047), g_received[0].message);
}

TEST_F(ReportToCallbackTest, AbsentCallbacksAreNeverCalled)
{
    ReportToCallback(nullptr, 1, "A::B", 1, nullptr, L"dropped");
    ReportToCallback(reinterpret_cast<LogCallback>(g_writableBytes), 1, "A::B", 1, nullptr, L"dropped");
    EXPECT_TRUE(g_received.empty());
}

TEST(LogContext, StartsValidAndEmpty)
{
    static LogContext process_wide;  // as each reporting component holds one
    EXPECT_EQ(51, process_wide.marker);
    EXPECT_EQ(L'\0', process_wide.text[0]);
    for (std::int64_t field : process_wide.fields) {
        EXPECT_EQ(0, field);
    }
    EXPECT_EQ(sizeof(std::int32_t) + 2048 * sizeof(wchar_t) + 5 * 8 + 4 /* alignment */,
              sizeof(LogContext));
}

}  // namespace
