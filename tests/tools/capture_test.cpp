// lep3 capture against the emulator: the files it writes hold the frames the bridge sent,
// coloured and converted as the options say.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lep3.h"
#include "sim/bridge_sim.h"
#include "tools/png_reader.h"
#include "tools/text_format.h"
#include "tools/tool_fixture.h"
#include "tools/tool_runner.h"

namespace {

using lep3::sim::BridgeSim;
using lep3::test::read_png;
using lep3::test::run_tool;

constexpr int kPixels = lep3::sim::kPixels;

std::vector<uint16_t> raw_of(const lep3::test::DecodedPng &png)
{
    return png.samples;
}

std::vector<uint8_t> rgb_of(const lep3::test::DecodedPng &png)
{
    return std::vector<uint8_t>(png.samples.begin(), png.samples.end());
}

// The frame the emulator sent for the stamp that the picture carries.
std::vector<uint16_t> sent_frame(const std::vector<uint16_t> &raw)
{
    std::vector<uint16_t> frame(kPixels);
    BridgeSim::raw_frame(BridgeSim::stamp_of_raw(raw.data()), frame.data());
    return frame;
}

std::vector<float> read_csv(const std::string &path)
{
    std::ifstream in(path);
    std::vector<float> values;
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        std::stringstream row(line);
        std::string cell;
        int cells = 0;
        while (std::getline(row, cell, ',')) {
            values.push_back(cell == "nan" ? NAN : std::stof(cell));
            ++cells;
        }
        EXPECT_EQ(cells, 160) << "line " << lines;
    }
    EXPECT_EQ(lines, 120);
    return values;
}

std::string two_places(float v)
{
    return lep3tool::format_text("%.2f", static_cast<double>(v));
}

class CaptureTest : public lep3::test::ToolTest {};

TEST_F(CaptureTest, FilesHoldTheSentFramesTheirProvenanceAndTemperatures)
{
    const auto r = run_tool({"capture", "--sim", "-n", "2", "-o", path("out"), "--temps"});
    ASSERT_EQ(r.status, 0) << r.err;

    generate_pallette_ironblack_256(RGB24_pallette_ironblack_256);
    for (int k = 1; k <= 2; ++k) {
        SCOPED_TRACE(k);
        const std::string stem = path("out/frame-000" + std::to_string(k));
        const auto raw_png = read_png(stem + "-raw16.png");
        ASSERT_EQ(raw_png.width, 160u);
        ASSERT_EQ(raw_png.height, 120u);
        ASSERT_EQ(raw_png.bit_depth, 16);
        const auto raw = raw_of(raw_png);
        EXPECT_EQ(raw, sent_frame(raw));
        for (const char *key : {"Frame Number", "Creation Time", "FPA Temperature", "R", "B", "F", "O"})
            EXPECT_EQ(raw_png.text.count(key), 1u) << key;

        // Default colouring: the frame's own range through ironblack.
        std::vector<uint8_t> gray8(kPixels);
        std::vector<uint8_t> rgb(size_t{kPixels} * 3);
        uint16_t hi = 0;
        uint16_t lo = 0;
        Gray14ToGray8(raw.data(), gray8.data(), &hi, &lo, 0);
        Gray8ToRGB24(gray8.data(), rgb.data(), 4);
        const auto colour = read_png(stem + ".png");
        EXPECT_EQ(colour.bit_depth, 8);
        EXPECT_EQ(colour.colour_type, 2);
        EXPECT_EQ(rgb_of(colour), rgb);

        // Temperatures with the R and O recorded beside the raw values.
        const auto rr = static_cast<uint32_t>(std::stoul(raw_png.text.at("R")));
        const auto oo = static_cast<uint32_t>(std::stoul(raw_png.text.at("O")));
        std::vector<float> want(kPixels);
        LEP3_LuxToKelvin(raw.data(), want.data(), static_cast<int32_t>(rr), static_cast<int32_t>(oo));
        LEP3_KelvinToCelsius(want.data());
        const auto csv = read_csv(stem + "-celsius.csv");
        ASSERT_EQ(csv.size(), want.size());
        // The emulator's stamp pixels lie below O: they have no temperature.
        float lo_c = 1e9f;
        float hi_c = -1e9f;
        for (size_t i = 0; i < want.size(); ++i) {
            if (std::isnan(want[i])) {
                ASSERT_TRUE(std::isnan(csv[i])) << "pixel " << i;
                continue;
            }
            ASSERT_NEAR(csv[i], want[i], 0.006) << "pixel " << i;
            lo_c = std::min(lo_c, want[i]);
            hi_c = std::max(hi_c, want[i]);
        }

        // The printed line: centre spot, scene minimum and maximum.
        const std::string line = "frame-000" + std::to_string(k) + ".png: frame " + raw_png.text.at("Frame Number") +
                                 ", centre " + two_places(LEP3_GetPixelTemp(LEP3_GetCenterPixel(raw.data()), rr, oo)) +
                                 " °C, min " + two_places(lo_c) + " °C, max " + two_places(hi_c) + " °C";
        EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    }
    // Only the tool's results reach standard output; the library's messages don't.
    EXPECT_EQ(r.out.find("LEP_Uart inited"), std::string::npos);
    EXPECT_NE(r.err.find("LEP_Uart inited"), std::string::npos);
}

TEST_F(CaptureTest, PaletteAndHeldRangeColourLaterFramesWithTheFirstRange)
{
    const auto r = run_tool({"capture", "--sim", "-n", "2", "-o", path("out"), "--palette", "iron", "--range", "held"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(path("out/frame-0001-celsius.csv"))); // no --temps

    generate_pallette_iron_256(RGB24_pallette_iron_256);
    std::vector<uint8_t> gray8(kPixels);
    std::vector<uint8_t> rgb(size_t{kPixels} * 3);
    uint16_t hi = 0;
    uint16_t lo = 0;
    for (int k = 1; k <= 2; ++k) {
        SCOPED_TRACE(k);
        const std::string stem = path("out/frame-000" + std::to_string(k));
        const auto raw = raw_of(read_png(stem + "-raw16.png"));
        Gray14ToGray8(raw.data(), gray8.data(), &hi, &lo, k == 1 ? 0 : 1);
        Gray8ToRGB24(gray8.data(), rgb.data(), 8);
        const auto colour = read_png(stem + ".png");
        EXPECT_EQ(rgb_of(colour), rgb);
        EXPECT_EQ(colour.text.at("Palette"), "iron");
    }
}

TEST_F(CaptureTest, CtrlCEndsWithCompleteFiles)
{
    lep3::test::ToolProcess p({"capture", "--sim", "-n", "100000", "-o", path("out")});
    ASSERT_TRUE(p.wait_for_output("frame-0002.png:", std::chrono::seconds(20)));
    p.send_signal(SIGINT);
    const auto r = p.finish();
    EXPECT_EQ(r.status, 128 + SIGINT) << r.err;
    EXPECT_NE(r.err.find("interrupted after"), std::string::npos) << r.err;
    int pictures = 0;
    for (const auto &entry : std::filesystem::directory_iterator(path("out"))) {
        const std::string name = entry.path().string();
        EXPECT_EQ(name.find(".part"), std::string::npos) << name;
        EXPECT_NO_THROW(read_png(name)) << name;
        ++pictures;
    }
    EXPECT_GE(pictures, 4);
    EXPECT_EQ(pictures % 2, 0); // every frame has both of its pictures
}

TEST_F(CaptureTest, BadOptionsFailBeforeTouchingTheBridge)
{
    auto r = run_tool({"capture", "--sim", "--palette", "purple", "-o", path("out")});
    lep3::test::expect_clean_failure(r.status, r.err, "unknown palette 'purple'");
    r = run_tool({"capture", "--sim", "-n", "0", "-o", path("out")});
    lep3::test::expect_clean_failure(r.status, r.err, "-n 0 is out of range");
    r = run_tool({"capture", "--sim", "--range", "10:5", "-o", path("out")});
    lep3::test::expect_clean_failure(r.status, r.err, "--range");
    EXPECT_FALSE(std::filesystem::exists(path("out")));
}

} // namespace
