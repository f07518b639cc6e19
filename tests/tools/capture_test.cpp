// lep3 capture against the emulator: the files it writes hold the frames the bridge sent,
// coloured and converted as the options say; a file it can't write is left out whole; a
// bridge that misbehaves is said, never saved or reported as if all were well.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "hostkit/png_writer.h"
#include "hostkit/text_format.h"
#include "lep3.h"
#include "sim/bridge_sim.h"
#include "tools/tool_fixture.h"

namespace {

using lep3::test::expect_clean_failure;
using lep3::test::read_png;
using lep3::test::run_tool;

constexpr int kPixels = lep3::sim::kPixels;

std::vector<float> read_csv(const std::string &path)
{
    std::ifstream in(path);
    std::vector<float> values;
    std::string line, cell;
    int lines = 0;
    for (; std::getline(in, line); ++lines)
        for (std::stringstream row(line); std::getline(row, cell, ',');)
            values.push_back(cell == "nan" ? NAN : std::stof(cell));
    EXPECT_EQ(lines, 120);
    return values;
}

std::string two_places(float v)
{
    return lep3tool::format_text("%.2f", static_cast<double>(v));
}

using CaptureTest = lep3::test::ToolTest;

TEST_F(CaptureTest, FilesHoldTheSentFramesTheirProvenanceAndTemperatures)
{
    const auto r = run_tool({"capture", "--sim", "-n", "2", "-o", path("out"), "--temps"});
    ASSERT_EQ(r.status, 0) << r.err;

    generate_pallette_ironblack_256(RGB24_pallette_ironblack_256);
    for (int k = 1; k <= 2; ++k) {
        SCOPED_TRACE(k);
        const std::string stem = path("out/frame-000" + std::to_string(k));
        const auto raw_png = read_png(stem + "-raw16.png");
        ASSERT_EQ(raw_png.width * raw_png.height, unsigned{kPixels});
        ASSERT_EQ(raw_png.bit_depth, 16);
        EXPECT_EQ(raw_png.significant_bits, 14);
        const auto &raw = raw_png.samples;
        std::vector<uint16_t> sent(kPixels);
        lep3::sim::BridgeSim::raw_frame(lep3::sim::BridgeSim::stamp_of_raw(raw.data()), sent.data());
        EXPECT_EQ(raw, sent);
        for (const char *key : {"Frame Number", "Creation Time", "FPA Temperature", "R", "B", "F", "O"})
            EXPECT_EQ(raw_png.text.count(key), 1u) << key;
        EXPECT_EQ(std::tie(raw_png.text.at("Camera Serial Number"), raw_png.text.at("Bridge Firmware"),
                           raw_png.text.at("Library Version")),
                  std::make_tuple("0x000000000041f3c9", "2.62", LEP3_GetLibraryVersion()));
        // The colour picture is the raw frame through the library's own conversion and,
        // by default, the frame's own range and ironblack.
        uint16_t hi = 0, lo = 0;
        std::vector<uint8_t> gray8(kPixels), rgb(size_t{kPixels} * 3);
        Gray14ToGray8(raw.data(), gray8.data(), &hi, &lo, 0);
        Gray8ToRGB24(gray8.data(), rgb.data(), 4);
        EXPECT_EQ(read_png(stem + ".png").samples, std::vector<uint16_t>(rgb.begin(), rgb.end()));

        // Temperatures with the R and O recorded beside the raw values.
        const auto rr = std::stoi(raw_png.text.at("R"));
        const auto oo = std::stoi(raw_png.text.at("O"));
        std::vector<float> want(kPixels);
        LEP3_LuxToKelvin(raw.data(), want.data(), rr, oo);
        LEP3_KelvinToCelsius(want.data());
        const auto csv = read_csv(stem + "-celsius.csv");
        ASSERT_EQ(csv.size(), size_t{kPixels});
        // The emulator's stamp pixels lie below O: they have no temperature.
        float lo_c = 1e9f, hi_c = -1e9f;
        for (size_t i = 0; i < want.size(); ++i) {
            ASSERT_EQ(std::isnan(csv[i]), std::isnan(want[i])) << "pixel " << i;
            if (!std::isnan(want[i])) {
                ASSERT_NEAR(csv[i], want[i], 0.006) << "pixel " << i;
                lo_c = std::min(lo_c, want[i]);
                hi_c = std::max(hi_c, want[i]);
            }
        }
        // The printed line: the centre pixel as the CSV has it (not the integer
        // LEP3_GetPixelTemp of the centre block), the scene's minimum and maximum.
        const std::string line = "frame-000" + std::to_string(k) + ".png: frame " + raw_png.text.at("Frame Number") +
                                 ", centre " + two_places(csv[60 * 160 + 80]) + " °C, min " + two_places(lo_c) +
                                 " °C, max " + two_places(hi_c) + " °C";
        EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    }
    // Only the tool's results reach standard output; the library's messages, without
    // --verbose, nowhere.
    EXPECT_EQ((r.out + r.err).find("LEP_Uart inited"), std::string::npos);
}

// Ctrl-C, and the hang-up the bridge's device sends a tool that runs without a terminal
// when the bridge goes: each ends the capture with complete files, the hang-up saying
// that the bridge is gone.
TEST_F(CaptureTest, CtrlCOrHangUpEndsWithCompleteFiles)
{
    for (const int signo : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(signo);
        const std::string out = path(signo == SIGINT ? "int" : "hup");
        lep3::test::ToolProcess p({"capture", "--sim", "-n", "100000", "-o", out});
        ASSERT_NE(p.wait_for_output("frame-0002.png:", std::chrono::seconds(20)), std::string::npos);
        p.send_signal(signo);
        const auto r = p.finish();
        EXPECT_EQ(r.status, 128 + signo) << r.err;
        // Between frames ("interrupted after N of M frames") or, when the signal finds it
        // waiting for the FPA temperature, at once: either way before the frame's files.
        EXPECT_NE(r.err.find("lep3: error: interrupted "), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("the bridge is gone") != std::string::npos, signo == SIGHUP) << r.err;
        int pictures = 0;
        for (const auto &entry : std::filesystem::directory_iterator(out)) {
            EXPECT_NE(entry.path().extension(), ".part");
            EXPECT_NO_THROW(read_png(entry.path().string())) << entry.path();
            ++pictures;
        }
        EXPECT_GE(pictures, 4);
        EXPECT_EQ(pictures % 2, 0); // every frame has both of its pictures
    }
}

// A percentile range: the colour picture is the raw frame stretched between the raw values
// it stands for, through the palette named in any case. (A range in degrees, read by the
// same code, is the viewer's picture test.)
TEST_F(CaptureTest, PercentileRangeColoursAsItSays)
{
    generate_pallette_iron_256(RGB24_pallette_iron_256);
    const auto r =
        run_tool({"capture", "--sim", "--range", "p1:p99", "--palette", "IRON", "--json", "-o", path("out")});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto line = nlohmann::json::parse(r.out);
    const auto lo = line.at("raw_min").get<uint16_t>();
    const auto hi = line.at("raw_max").get<uint16_t>();
    EXPECT_EQ(line.at("range"), "p1:p99");
    const auto raw = read_png(line.at("raw_picture").get<std::string>()).samples;
    // At most 1 % of the pixels lie beyond each end, and at least 1 % reach it.
    auto count = [&raw](auto &&pred) { return std::count_if(raw.begin(), raw.end(), pred); };
    EXPECT_LE(count([lo](uint16_t v) { return v < lo; }), kPixels / 100);
    EXPECT_GE(count([lo](uint16_t v) { return v <= lo; }), kPixels / 100);
    EXPECT_LE(count([hi](uint16_t v) { return v > hi; }), kPixels / 100);
    EXPECT_GE(count([hi](uint16_t v) { return v >= hi; }), kPixels / 100);
    std::vector<uint8_t> gray8(kPixels), rgb(size_t{kPixels} * 3);
    Gray14ToGray8WithUserSetPalette(raw.data(), gray8.data(), hi, lo);
    Gray8ToRGB24(gray8.data(), rgb.data(), 8);
    EXPECT_EQ(read_png(line.at("picture").get<std::string>()).samples, std::vector<uint16_t>(rgb.begin(), rgb.end()));
}

TEST_F(CaptureTest, PngFailureThrowsAndLeavesNoFileBehind)
{
    const std::vector<uint16_t> grey(4);
    EXPECT_THROW(lep3tool::write_png_gray16(path("missing/g.png"), grey, 2, 2, {}), std::runtime_error);
    // A buffer smaller than the image must not be read past its end.
    EXPECT_THROW(lep3tool::write_png_gray16(path("short.png"), grey, 3, 2, {}), std::runtime_error);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

using CaptureFaultsTest = lep3::test::BridgeTest;

TEST_F(CaptureFaultsTest, FramesWithAFailedCheckByteAreSkippedOrKeptMarked)
{
    sim().set_faults({.corrupt_frame_every = 1});
    expect_clean_failure(run_tool({"capture", "--device", device(), "-o", path("skip"), "--timeout", "1"}),
                         "sends only frames whose check byte fails");
    EXPECT_FALSE(std::filesystem::exists(path("skip/frame-0001.png")));

    auto r = run_tool({"capture", "--device", device(), "-o", path("kept"), "-n", "2", "--keep-bad", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    int kept = 0;
    for (std::string line; std::getline(lines, line); ++kept)
        EXPECT_FALSE(nlohmann::json::parse(line).at("check_ok").get<bool>()) << line;
    EXPECT_EQ(kept, 2);
    for (const char *name : {"kept/frame-0001.png", "kept/frame-0001-raw16.png"})
        EXPECT_NE(lep3::test::read_png(path(name)).text.at("Warning").find("check byte failed"), std::string::npos)
            << name;
    r = run_tool({"capture", "--device", device(), "-o", path("text"), "--keep-bad"});
    EXPECT_NE(r.out.find("(check byte failed), centre "), std::string::npos) << r.out;

    // One damaged frame in two: only good ones are saved, and the skipped ones counted.
    sim().set_faults({.corrupt_frame_every = 2});
    r = run_tool({"capture", "--device", device(), "-o", path("some"), "-n", "4", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("\"check_ok\":false"), std::string::npos) << r.out;
    // Damaged frames the tool never took (overwritten while it wrote files) aren't counted.
    EXPECT_TRUE(r.err.empty() ||
                lep3::test::search(r.err, "^lep3: warning: skipped [0-9]+ frames? whose check byte failed[^\n]*\n$"))
        << r.err;
}

// Silence fails within the frame time-out, before any command waits for its reply.
TEST_F(CaptureFaultsTest, ASilentBridgeFailsWithinTheFrameTimeOut)
{
    sim().set_faults({.silent = true});
    for (const auto &command : {std::vector<std::string>{"capture", "-o", path("none")},
                                std::vector<std::string>{"stream", "--seconds", "30"}}) {
        SCOPED_TRACE(command[0]);
        auto args = command;
        args.insert(args.end(), {"--device", device(), "--timeout", "0.5"});
        const auto started = std::chrono::steady_clock::now();
        expect_clean_failure(run_tool(args), "the bridge at " + device() + " sends nothing: no frame in 0.5 s");
        // Far below a command's reply time (7.5 s), which it must not have waited for.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(7));
    }
}

TEST_F(CaptureFaultsTest, ARangeThatMissesTheFrameIsSaid)
{
    const auto r = run_tool({"capture", "--device", device(), "-o", path("out"), "-n", "2", "-r", "20:30"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(lep3::test::search(r.err, "^lep3: warning: the range 20:30 lies outside the frame's raw values, "
                                          "[0-9]+ to [0-9]+: the picture is one colour [^\n]*\n$"))
        << r.err;
}

} // namespace
