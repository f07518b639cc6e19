// The description text every page of a recording carries: what the writer says is what
// the readers get back, and a text that is not one is refused with the line at fault.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "recording/format.h"
#include "recording/tally.h"

namespace lep3::recording {
namespace {

PageInfo sample_page()
{
    PageInfo p;
    p.frame_number = 4711;
    p.host_time_us = 1714566896123456; // 2024-05-01T12:34:56.123456Z
    p.check_ok = false;
    p.fpa_celsius = 27.27F;
    p.rbfo_set = "external";
    p.rbfo = Rbfo{881000, 1428, 1, 1008};
    return p;
}

TEST(RecordingFormat, PageAndFileLinesRoundTrip)
{
    FileInfo file{Values::celsius, "1.1.0", 262, 0x0041F3C9};
    const PageInfo page = sample_page();

    const Description first = parse_description(describe_page(page, &file));
    EXPECT_EQ(first.page, page);
    ASSERT_TRUE(first.file);
    EXPECT_EQ(*first.file, file);

    // Later pages carry the page's lines only; what is unavailable comes back so.
    PageInfo bare;
    bare.frame_number = 1;
    bare.rbfo_set = "internal";
    const Description later = parse_description(describe_page(bare, nullptr));
    EXPECT_EQ(later.page, bare);
    EXPECT_FALSE(later.file);
    file.firmware_version.reset();
    file.serial_number.reset();
    EXPECT_EQ(*parse_description(describe_page(bare, &file)).file, file);
}

// What readers of the file without this code see: UTC with microseconds, versions and
// serial numbers as the tool shows them, the conversion in words.
TEST(RecordingFormat, TextReadsAsTheToolShowsValues)
{
    const FileInfo file{Values::raw, "1.1.0", 262, 0x41F3C9};
    const std::string text = describe_page(sample_page(), &file);
    for (const char *line :
         {"Time: 2024-05-01T12:34:56.123456Z\n", "FPA temperature: 27.27 C\n", "Bridge firmware: 2.62\n",
          "Camera serial number: 0x000000000041f3c9\n", "Temperature: T = B / ln(R / (S - O) + F) kelvin"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    // Before 1970 the fraction still counts forward from the second.
    EXPECT_EQ(utc_text(-1), "1969-12-31T23:59:59.999999Z");
    EXPECT_EQ(parse_utc("1969-12-31T23:59:59.999999Z"), -1);
}

// Each broken text is refused with what is wrong; lines a later version adds are passed
// over.
TEST(RecordingFormat, BrokenDescriptionsNameWhatIsWrong)
{
    const std::string good = describe_page(sample_page(), nullptr);
    const FileInfo file{Values::celsius, "1.1.0", 262, 0x0041F3C9};
    const std::string with_file = describe_page(sample_page(), &file);
    const auto replaced = [&good](const std::string &from, const std::string &to) {
        std::string s = good;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    for (const auto &[text, error] : std::vector<std::pair<std::string, std::string>>{
             {"ImageJ=1.54f\nimages=3\n", "does not begin with"},
             {replaced("Frame: 4711\n", ""), "no 'Frame' line"},
             {replaced("Frame: 4711", "Frame: 47x1"), "not a whole number"},
             {replaced(".123456Z", ".1234Z"), "not a UTC time"},
             {replaced("27.27 C", "warm"), "not degrees Celsius"},
             {replaced("Frame check: not confirmed", "Frame check"), "not 'Key: value'"},
             {with_file + "Emissivity: 0.9\n", "no 'Reflected temperature' line"},
             {with_file + "Region 1: box hot=1,2,3\n", "'Region 1' is not a region"},
             {with_file + "Region 1: circle c=1,2\n", "'Region 1' is not 'spot|box|line"},
             {with_file + "Emissivity: nan\n", "'Emissivity' is not a number"},
             {good + "Lens: wide\n", ""},
         }) {
        try {
            parse_description(text);
            EXPECT_EQ(error, "") << "accepted:\n" << text;
        } catch (const FormatError &e) {
            EXPECT_NE(error, "") << e.what();
            EXPECT_NE(std::string(e.what()).find(error), std::string::npos) << e.what();
        }
    }
}

// The object parameters and the regions travel with the file: exactly (the shortest text
// of each float), in order; a file written before them reads with none.
TEST(RecordingFormat, ObjectParametersAndRegionsRoundTrip)
{
    FileInfo file{Values::celsius, "1.1.0", 262, 0x0041F3C9};
    lep3_object_params_t p{};
    LEP3_DefaultObjectParams(&p);
    p.emissivity = 0.95F;
    p.reflected_c = -12.3F;
    p.humidity = 0.333F;
    p.distance_m = 1.5F;
    p.window_transmission = 0.9F;
    p.window_c = 35.1F;
    file.object = p;
    file.regions = {{"hot", {LEP3_REGION_BOX, 159, 119, 0, 0}},
                    {"spot1", {LEP3_REGION_SPOT, 80, 60, 0, 0}},
                    {"seam", {LEP3_REGION_LINE, 0, 119, 159, 0}}};
    const std::string text = describe_page(sample_page(), &file);
    EXPECT_EQ(*parse_description(text).file, file);
    for (const char *line : {"Emissivity: 0.95\n", "Reflected temperature: -12.3 C\n", "Distance: 1.5 m\n",
                             "Region 1: box hot=159,119,0,0\n", "Region 2: spot spot1=80,60\n",
                             "Temperature: degrees Celsius of the objects"})
        EXPECT_NE(text.find(line), std::string::npos) << line;

    // At the defaults a Celsius file holds the plain conversion and says so.
    LEP3_DefaultObjectParams(&p);
    file.object = p;
    EXPECT_NE(describe_page(sample_page(), &file).find(kCelsiusText), std::string::npos);

    file.object.reset();
    file.regions.clear();
    const std::string older = describe_page(sample_page(), &file);
    EXPECT_EQ(older.find("Emissivity"), std::string::npos);
    EXPECT_EQ(*parse_description(older).file, file);
}

TEST(RecordingTally, CountsGapsInTheFrameNumbers)
{
    Tally t;
    for (const uint32_t n : {7U, 8U, 11U, 12U, 13U, 20U}) {
        PageInfo p;
        p.frame_number = n;
        p.host_time_us = int64_t{n} * 100000;
        p.check_ok = n != 12;
        t.add(p);
    }
    EXPECT_EQ(t.frames, 6U);
    EXPECT_EQ(t.gaps, 2U);
    EXPECT_EQ(t.missing, 8U);
    EXPECT_EQ(t.unconfirmed, 1U);
    EXPECT_EQ(t.first_frame, 7U);
    EXPECT_EQ(t.last_frame, 20U);
    EXPECT_DOUBLE_EQ(t.seconds(), 1.3);
}

} // namespace
} // namespace lep3::recording
