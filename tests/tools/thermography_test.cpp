// Object temperatures, regions, the isotherm and alarms through the tool: a region's
// readings as capture reports them, the band painted where the temperatures lie in it, and
// the events of watch's alarms.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/tool_fixture.h"

namespace {

using lep3::test::run_tool;
using ThermographyTest = lep3::test::ToolTest;

std::vector<nlohmann::json> json_lines(const std::string &out)
{
    std::vector<nlohmann::json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(nlohmann::json::parse(line));
    return lines;
}

// The isotherm's red lies exactly on the pixels whose temperature (the CSV's) is in the
// band; the regions and object parameters appear in the JSON; bad ones are usage errors.
TEST_F(ThermographyTest, CaptureReportsRegionsAndPaintsTheIsothermBand)
{
    auto r = run_tool({"capture", "--sim", "-q", "-o", path("out"), "--temps", "--json", "--isotherm", "22C:30C",
                       "--emissivity", "0.95", "--box", "hand=70,40,110,80", "--spot", "80,60"});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json frame = json_lines(r.out).at(0);
    EXPECT_EQ(frame["object"]["emissivity"], 0.95F);
    ASSERT_EQ(frame["regions"].size(), 2U);
    EXPECT_EQ(frame["regions"][0]["name"], "spot1");
    EXPECT_EQ(frame["regions"][0]["max_c"], frame["centre_c"]);
    EXPECT_EQ(frame["regions"][1]["pixels"], 41 * 41);

    std::ifstream csv(path("out/frame-0001-celsius.csv"));
    const auto png = lep3::test::read_png(path("out/frame-0001.png"));
    size_t i = 0, red = 0, mismatched = 0;
    for (std::string line; std::getline(csv, line);) {
        std::istringstream row(line);
        for (std::string value; std::getline(row, value, ','); ++i) {
            const float c = std::stof(value);
            const bool in_band = c >= 22.0F && c <= 30.0F;
            const bool painted = png.samples[3 * i] == 255 && png.samples[3 * i + 1] == 0;
            red += painted ? 1 : 0;
            // The CSV holds two places: a value at the band's edge may round across it.
            mismatched += in_band != painted && std::abs(c - 22.0F) > 0.01F && std::abs(c - 30.0F) > 0.01F ? 1 : 0;
        }
    }
    EXPECT_EQ(i, 19200U);
    EXPECT_GT(red, 0U);
    EXPECT_EQ(mismatched, 0U);

    for (const auto &bad : std::vector<std::vector<std::string>>{{"--box", "0,0,160,10"},
                                                                 {"--spot", "a=1,2", "--spot", "a=3,4"},
                                                                 {"--emissivity", "0"},
                                                                 {"--isotherm", "40C:30C"}}) {
        std::vector<std::string> args{"capture", "--sim", "-o", path("bad")};
        args.insert(args.end(), bad.begin(), bad.end());
        EXPECT_EQ(run_tool(args).status, 2) << bad[0] << " " << bad[1];
    }
}

// watch measures every frame and prints each alarm event as it happens: a rule that holds
// from the first frame is raised once and sets the exit status; one that never holds says
// nothing. (When a rule raises and clears is the alarm series' test.)
TEST_F(ThermographyTest, WatchPrintsTheEventsOfItsRulesAndEndsWithTheirStatus)
{
    for (const auto &[rule, status, events] : {std::tuple{"hand>-90C", 3, 1U}, {"hand>2000C", 0, 0U}}) {
        const auto r = run_tool({"watch", "--sim", "-q", "--json", "-n", "3", "--box", "hand=70,40,110,80", "--alarm",
                                 rule, "--hysteresis", "0.5C"});
        EXPECT_EQ(r.status, status) << rule << ": " << r.err;
        const auto lines = json_lines(r.out);
        ASSERT_EQ(lines.size(), events) << r.out;
        for (const auto &line : lines) {
            EXPECT_EQ(line["alarm"], rule);
            EXPECT_EQ(line["event"], "raised");
        }
    }
}

} // namespace
