// The tool's other subcommands against the emulator, and the ways a user can get them wrong.
#include <gtest/gtest.h>

#include <string>

#include "tools/tool_fixture.h"

namespace {

using lep3::test::expect_clean_failure;
using lep3::test::run_tool;
using lep3::test::search;

using CommandsTest = lep3::test::ToolTest;

TEST_F(CommandsTest, InfoAsJsonOnAnOtherwiseCleanStdoutAndAsText)
{
    auto r = run_tool({"info", "--sim", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const char *object = "^\\{\"device\": \"[^\"]+\", \"firmware_version\": [0-9]+, \"image_file_version\": null, "
                         "\"camera_status\": 0, \"camera_ready\": true, \"serial_number\": \"0x[0-9a-f]{16}\", "
                         "\"uptime\": [0-9]+, \"fpa_temperature_c\": -?[0-9]+\\.[0-9]{2}, "
                         "\"aux_temperature_c\": -?[0-9]+\\.[0-9]{2}\\}\n$";
    EXPECT_TRUE(search(r.out, object)) << r.out;
    r = run_tool({"info", "--sim"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *label : {"bridge firmware:", "camera status:      ready",
                              "serial number:", "up-time:", "FPA temperature:", "AUX temperature:"})
        EXPECT_NE(r.out.find(label), std::string::npos) << label << "\n" << r.out;
    EXPECT_EQ(r.out.find("unavailable"), std::string::npos) << r.out;
}

TEST_F(CommandsTest, GetPrintsOneValueOrAllOfThem)
{
    for (const auto &[name, form] :
         {std::pair{"gain-mode", "^[0-9]+\n$"}, std::pair{"fpa-temperature", "^-?[0-9]+\\.[0-9]{2}\n$"}}) {
        const auto r = run_tool({"get", "--sim", name});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(search(r.out, form)) << r.out;
    }
    const auto r = run_tool({"get", "--sim"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *name :
         {"agc ", "agc-calc ", "telemetry ", "gain-mode ", "shutter-position ", "video-format ", "oem-video-format ",
          "pcolor-lut ", "freeze ", "radiometry ", "frames-to-average ", "heq-linear-percent ", "rbfo-internal "})
        EXPECT_NE(("\n" + r.out).find(std::string("\n") + name), std::string::npos) << name << "\n" << r.out;
}

TEST_F(CommandsTest, SetTakesWhatTheCameraTakesByNameAndAlias)
{
    auto r = run_tool({"set", "--sim", "gain-mode", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "gain-mode set to 2\n");
    for (const auto &[name, value] : {std::pair{"vid", "14"}, {"shutter-position", "-1"}, {"agc", "on"}})
        EXPECT_EQ(run_tool({"set", "--sim", name, value}).status, 0) << name;
    // The camera's own range, found by the library's check; then values the parameter
    // can't carry, which never reach the library.
    expect_clean_failure(run_tool({"set", "--sim", "gain-mode", "3"}),
                         "3 is out of range for gain-mode: it takes 0 to 2");
    for (const auto &[name, value, message] :
         {std::tuple{"frames-to-average", "8", "out of range for frames-to-average"},
          {"heq-linear-percent", "70000", "out of range for heq-linear-percent"},
          {"agc", "-1", "out of range for agc"},
          {"agc", "one", "must be a whole number"},
          {"brightness", "1", "unknown setting 'brightness'"},
          {"uptime", "1", "can be read but not set"}})
        expect_clean_failure(run_tool({"set", "--sim", name, value}), message);
}

// A palette that doesn't exist and a bridge that isn't there: one clear line, no crash.
TEST_F(CommandsTest, UnknownPaletteAndMissingDeviceFailCleanly)
{
    expect_clean_failure(run_tool({"capture", "--sim", "--palette", "nosuch", "-o", "unused"}),
                         "unknown palette 'nosuch'");
    expect_clean_failure(run_tool({"info", "--device", "/nonexistent/tty"}), "no bridge at /nonexistent/tty");
}

TEST_F(CommandsTest, FfcAndListAndStreamRunToTheEnd)
{
    auto r = run_tool({"ffc", "--sim"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "flat-field correction done\n");
    r = run_tool({"ffc", "--sim", "--rad", "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("LEP_Uart inited"), std::string::npos) << r.err; // --quiet hides the library's messages
    r = run_tool({"list", "--sim"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("ttyACM0\t(emulator"), std::string::npos) << r.out;

    r = run_tool({"stream", "--sim", "--seconds", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    // Without a terminal: a line a second and the final state, with the link counters.
    const auto m = search(r.out, "[0-9]+\\.[0-9] fps \\| frames ([0-9]+)\\.\\.([0-9]+) \\| dropped 0 \\| "
                                 "centre -?[0-9]+\\.[0-9]{2} °C \\| link: .* ([0-9]+) raw, 0 rgb, ");
    ASSERT_TRUE(m) << r.out;
    EXPECT_EQ((*m)[1], "1");
}

} // namespace
