// Object temperatures, regions, the isotherm and alarms through the tool: a region's
// readings as capture reports them, the band painted where the temperatures lie in it, and
// alarms on a recording replayed through the emulator, where every run sees the same frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/bridge_sim.h"
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

// A recording replayed twice: capture's readings of the box frame by frame give the
// alarm events watch must print for the same frames, by the rule's own definition.
TEST_F(ThermographyTest, WatchOnAReplayedRecordingRaisesAndClearsWhereTheReadingsSay)
{
    constexpr int kFrames = 16;
    const std::string recording = path("scene.tif");
    auto r = run_tool({"record", "--sim", "-q", "-n", std::to_string(kFrames), "-o", recording});
    if (r.status == 2 && r.err.find("unknown command") != std::string::npos)
        GTEST_SKIP() << "built without recordings";
    ASSERT_EQ(r.status, 0) << r.err;
    const auto replayed = [&](const std::vector<std::string> &args) {
        lep3::sim::Options replay;
        replay.path = path("replay");
        replay.replay = recording;
        replay.replay_loop = true; // a frame the tool missed doesn't leave it waiting
        lep3::sim::BridgeSim sim(replay);
        std::vector<std::string> all{
            args[0], "--device",         replay.path, "-q", "--json", "-n", std::to_string(kFrames),
            "--box", "hand=70,40,110,80"};
        all.insert(all.end(), args.begin() + 1, args.end());
        return run_tool(all);
    };

    r = replayed({"capture", "-o", path("frames")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<uint32_t, double> max_by_frame;
    for (const auto &line : json_lines(r.out))
        max_by_frame[line["frame"]] = line["regions"][0]["max_c"];
    ASSERT_EQ(max_by_frame.size(), size_t{kFrames});
    double lo = 1e9, hi = -1e9;
    for (const auto &[frame, max] : max_by_frame)
        lo = std::min(lo, max), hi = std::max(hi, max);
    // A limit, and a clearing level below it, that no reading comes within a hundredth of:
    // the JSON rounds to hundredths, watch compares the unrounded values.
    const double hysteresis = std::round((hi - lo) / 8 * 100) / 100;
    double limit = std::round((lo + hi) / 2 * 100) / 100;
    const auto near = [&](double level) {
        for (const auto &entry : max_by_frame)
            if (std::abs(entry.second - level) < 0.011)
                return true;
        return false;
    };
    while (near(limit) || near(limit - hysteresis))
        limit += 0.01;

    // The definition: raised above the limit, cleared below it by the hysteresis.
    std::vector<std::pair<uint32_t, std::string>> expected;
    bool raised = false;
    for (const auto &[frame, max] : max_by_frame) {
        if (!raised && max > limit)
            expected.emplace_back(frame, "raised"), raised = true;
        else if (raised && max < limit - hysteresis)
            expected.emplace_back(frame, "cleared"), raised = false;
    }
    ASSERT_FALSE(expected.empty()) << "the scene holds no change across " << limit;

    char rule[64];
    std::snprintf(rule, sizeof rule, "hand>%.2fC", limit);
    char band[32];
    std::snprintf(band, sizeof band, "%.2fC", hysteresis);
    r = replayed({"watch", "--alarm", rule, "--hysteresis", band});
    EXPECT_EQ(r.status, 3) << r.err;
    std::vector<std::pair<uint32_t, std::string>> seen;
    for (const auto &line : json_lines(r.out)) {
        EXPECT_EQ(line["alarm"], rule);
        seen.emplace_back(line["frame"], line["event"]);
    }
    // A loaded machine may make either command miss a frame (each takes the newest), which
    // moves an event to a later frame or skips a short excursion; the library numbers
    // every frame, so a number is the same page in both runs. What must hold: events
    // alternate from "raised", each at a frame whose reading passes its level, and the
    // run with every frame gives exactly the definition's events.
    ASSERT_FALSE(seen.empty());
    for (size_t i = 0; i < seen.size(); ++i) {
        const auto &[frame, event] = seen[i];
        EXPECT_EQ(event, i % 2 == 0 ? "raised" : "cleared") << "event " << i;
        const auto reading = max_by_frame.find(frame);
        if (reading == max_by_frame.end())
            continue; // past the frames capture saw
        if (event == "raised") {
            EXPECT_GT(reading->second, limit) << "frame " << frame;
        } else {
            EXPECT_LT(reading->second, limit - hysteresis) << "frame " << frame;
        }
    }
    if (seen.size() == expected.size() && seen.front().first == expected.front().first) {
        EXPECT_EQ(seen, expected);
    }
}

} // namespace
