// router-sampler run as a user runs it: against router-sim, and with the
// mistakes a user makes.

#include <gtest/gtest.h>

#include <windows.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "WMIRouterClient/wmirouter_perf.h"
#include "child_process.h"
#include "common/util/unique_resource.h"
#include "tools/host/provider_module.h"
#include "wait_until.h"

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

TEST(RouterSampler, PrintsTypeperfCsvThatFollowsTheRouter)
{
    ChildProcess router;
    ASSERT_TRUE(StartRouterSim(router, L"--pattern same --rate 50 --duration 0")) << router.Output();

    std::string output;
    ASSERT_EQ(0, RunToEnd(L"router-sampler.exe", L"--dll RouterPerfClient.dll --samples 4 --interval 300", output)) << output;
    const std::vector<std::string> lines = Lines(output);
    ASSERT_EQ(5u, lines.size()) << output;

    const std::string counter = R"("\\\\[^\\"]+\\Marrowfell Router Client\(0\)\\)";
    const std::regex header("\"\\(PDH-CSV 4\\.0\\) \\([^)]*\\)\\(-?[0-9]+\\)\"," + counter +
                            "Bypass messages received\"," + counter + "Bypass messages sent\"," +
                            counter + "Device connections\"," + counter + "Work queue size\"," +
                            counter + "Server connections\"");
    EXPECT_TRUE(std::regex_match(lines[0], header)) << lines[0];

    const std::regex row(R"r("(\d\d)/(\d\d)/(\d{4}) \d\d:\d\d:\d\d\.\d{3}","(\d+)","(\d+)","(\d+)","(\d+)","(\d+)")r");
    unsigned long previous = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[i], match, row)) << lines[i];
        const unsigned long value = std::stoul(match[4]);
        for (int column = 5; column <= 8; ++column) {
            EXPECT_EQ(value, std::stoul(match[column])) << lines[i];
        }
        EXPECT_GT(value, 0u) << "the router's samples reached the row";
        EXPECT_GT(value, previous) << "rows follow the router's sequence";
        previous = value;
    }
}

long Regsvr32(const std::wstring& options)
{
    std::string output;
    return RunToEnd(SystemProgram(L"regsvr32.exe"),
                    options + L" \"" + FileBesideProgram(L"RouterPerfClient.dll") + L"\"", output);
}

TEST(RouterSampler, ActivatesARegisteredProviderThroughCom)
{
    ASSERT_EQ(0, Regsvr32(L"/s"));
    ChildProcess router;
    ASSERT_TRUE(StartRouterSim(router, L"--pattern same --rate 50 --duration 0")) << router.Output();
    std::string output;
    EXPECT_EQ(0, RunToEnd(L"router-sampler.exe", L"--samples 2 --interval 200", output)) << output;
    EXPECT_EQ(3u, Lines(output).size()) << output;
    EXPECT_EQ(0, Regsvr32(L"/s /u"));

    EXPECT_EQ(1, RunToEnd(L"router-sampler.exe", L"--samples 1", output));
    const std::vector<std::string> lines = Lines(output);
    ASSERT_EQ(1u, lines.size()) << output;
    EXPECT_EQ("router-sampler: the provider is not registered: run \"regsvr32 RouterPerfClient.dll\" as an "
              "administrator, or pass --dll PATH to load it directly",
              lines[0]);
}

TEST(RouterSampler, BadUseGivesOneLineAndAFailingExit)
{
    const struct {
        const wchar_t* arguments;
        long exitCode;
        const char* says;
    } cases[] = {
        {L"--samples none", 2, "bad option --samples none"},
        {L"--interval", 2, "--interval needs a value"},
        {L"--dll no-such-provider.dll", 1, "cannot load no-such-provider.dll"},
        {L"--class Win32_NoSuchClass", 1, "Win32_NoSuchClass"},
        {L"--dll RouterPerfClient.dll --samples 1", 1, "does not exist: start the router (or router-sim) first"},
    };
    for (const auto& c : cases) {
        std::string output;
        EXPECT_EQ(c.exitCode, RunToEnd(L"router-sampler.exe", c.arguments, output)) << output;
        const std::vector<std::string> lines = Lines(output);
        ASSERT_EQ(1u, lines.size()) << output;
        EXPECT_EQ(0u, lines[0].find("router-sampler: ")) << lines[0];
        EXPECT_NE(std::string::npos, lines[0].find(c.says)) << lines[0];
    }
    std::string help;
    EXPECT_EQ(0, RunToEnd(L"router-sampler.exe", L"--help", help));
    EXPECT_NE(std::string::npos, help.find("usage: router-sampler")) << help;
}

}  // namespace
