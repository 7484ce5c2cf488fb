// The console output: the line format, and the bytes a write puts on
// standard output after the output's level test.

#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "common/logger/console_output.h"
#include "common/logger/debug_logger.h"
#include "file_contents.h"
#include "scoped_registry_key.h"
#include "scoped_temp_folder.h"

namespace {

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

LogRecord Record(std::int32_t level, std::int32_t eventId, std::uint32_t threadId,
                 const wchar_t* text)
{
    LogRecord record;
    record.level = level;
    record.eventId = eventId;
    record.threadId = threadId;
    record.user = L"hidden user";
    record.text = text;
    record.time.wYear = 2024;
    record.time.wMonth = 5;
    record.time.wDay = 17;
    record.time.wHour = 14;
    record.time.wMinute = 3;
    record.time.wSecond = 7;
    record.time.wMilliseconds = 45;
    return record;
}

// Sends standard output to a file while it lives, then puts it back. The
// file is in text mode, as a process's standard output is.
class ScopedStdoutCapture {
public:
    explicit ScopedStdoutCapture(const std::wstring& path)
    {
        std::fflush(stdout);
        saved_ = _dup(_fileno(stdout));
        const int file = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT,
                                _S_IREAD | _S_IWRITE);
        if (saved_ >= 0 && file >= 0) {
            _dup2(file, _fileno(stdout));
        }
        if (file >= 0) {
            _close(file);
        }
    }
    ~ScopedStdoutCapture()
    {
        std::fflush(stdout);
        if (saved_ >= 0) {
            _dup2(saved_, _fileno(stdout));
            _close(saved_);
        }
    }
    bool Active() const { return saved_ >= 0; }

private:
    int saved_ = -1;
};

TEST(ConsoleLineTest, FormatsIdTimeThreadAndText)
{
    const struct {
        LogRecord record;
        const wchar_t* expected;
    } cases[] = {
        {Record(3, 0, 0x1A4, L"text"), L"[30000] (14:03:07.045):{0x01A4} text\n"},
        {Record(0, 0, 0x1A4, L"zero"), L"[00000] (14:03:07.045):{0x01A4} zero\n"},
        {Record(5, 0, 0x1A4, L"five"), L"[50000] (14:03:07.045):{0x01A4} five\n"},
        {Record(15, 0, 7, L"fifteen"), L"[150000] (14:03:07.045):{0x0007} fifteen\n"},
        {Record(1, 0x12345, 0xBEEF, L"own id"), L"[09029] (14:03:07.045):{0xBEEF} own id\n"},
        {Record(2, 0x1234, 0x12345, L"wide thread"),
         L"[04660] (14:03:07.045):{0x12345} wide thread\n"},
        {Record(3, 0, 0x1A4, L"caf\u00E9 100%"), L"[30000] (14:03:07.045):{0x01A4} caf\u00E9 100%\n"},
        {Record(3, 0, 0x1A4, L""), L"[30000] (14:03:07.045):{0x01A4} \n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConsoleLine(c.record), c.expected);
    }
}

class ConsoleOutputTest : public ::testing::Test {
protected:
    // Runs the logger once so that it holds the key's console settings.
    void Configure(DWORD enabled, DWORD level)
    {
        settings_.SetDword("", "ConsoleLogLevel", level);
        settings_.SetDword("", "ConsoleLogEnabled", enabled);
        ASSERT_TRUE(
            logger_.StartWithFile(L"", Wide(settings_.Path()).c_str(), true, nullptr, nullptr));
        ASSERT_TRUE(logger_.WaitUntilReady());
        logger_.Stop();
    }

    // What the writes put on standard output, as bytes.
    template <typename Writes>
    std::string Captured(Writes writes)
    {
        const std::wstring path = folder_ / L"stdout.txt";
        {
            ScopedStdoutCapture capture(path);
            EXPECT_TRUE(capture.Active());
            writes();
        }
        return ReadFileBytes(path);
    }

    ScopedRegistryKey settings_{HKEY_CURRENT_USER};
    ScopedTempFolder folder_;
    DebugLogger logger_;
};

TEST_F(ConsoleOutputTest, WritePrintsTheLineToStandardOutput)
{
    Configure(1, 3);
    ConsoleOutput output(logger_);
    const std::string bytes = Captured([&] { output.Write(Record(3, 0, 0x1A4, L"text")); });
    EXPECT_EQ(bytes, "[30000] (14:03:07.045):{0x01A4} text\r\n");
}

TEST_F(ConsoleOutputTest, WriteAppliesTheConsoleLevel)
{
    Configure(1, 2);
    ConsoleOutput output(logger_);
    const std::string bytes = Captured([&] {
        output.Write(Record(3, 0, 1, L"three"));
        output.Write(Record(2, 0, 1, L"two"));
        output.Write(Record(4, 0, 1, L"four"));
        output.Write(Record(5, 0, 1, L"five"));
    });
    EXPECT_EQ(bytes,
              "[20000] (14:03:07.045):{0x0001} two\r\n"
              "[50000] (14:03:07.045):{0x0001} five\r\n");
}

TEST_F(ConsoleOutputTest, WriteDoesNothingWhenTheConsoleIsOff)
{
    Configure(0, 15);
    ConsoleOutput output(logger_);
    const std::string bytes = Captured([&] { output.Write(Record(5, 0, 1, L"always")); });
    EXPECT_EQ(bytes, "");
}

}  // namespace
