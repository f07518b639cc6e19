// The tool's other subcommands against the emulator, and the ways a user can get them wrong.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "tools/tool_fixture.h"
#include "tools/tool_runner.h"

namespace {

using lep3::test::expect_clean_failure;
using lep3::test::run_tool;
using lep3::test::search;

class CommandsTest : public lep3::test::ToolTest {};

TEST_F(CommandsTest, InfoJsonIsOneObjectOnAnOtherwiseCleanStdout)
{
    const auto r = run_tool({"info", "--sim", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const char *object = "^\\{\"device\": \"[^\"]+\", \"firmware_version\": [0-9]+, \"image_file_version\": null, "
                         "\"camera_status\": 0, \"camera_ready\": true, \"serial_number\": \"0x[0-9a-f]{16}\", "
                         "\"uptime\": [0-9]+, \"fpa_temperature_c\": -?[0-9]+\\.[0-9]{2}, "
                         "\"aux_temperature_c\": -?[0-9]+\\.[0-9]{2}\\}\n$";
    EXPECT_TRUE(search(r.out, object)) << r.out;
}

TEST_F(CommandsTest, InfoTextNamesEveryValue)
{
    const auto r = run_tool({"info", "--sim"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *label : {"bridge firmware:", "camera status:      ready",
                              "serial number:", "up-time:", "FPA temperature:", "AUX temperature:"})
        EXPECT_NE(r.out.find(label), std::string::npos) << label << "\n" << r.out;
    EXPECT_EQ(r.out.find("unavailable"), std::string::npos) << r.out;
}

TEST_F(CommandsTest, GetPrintsOneValueOrAllOfThem)
{
    auto r = run_tool({"get", "--sim", "gain-mode"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(search(r.out, "^[0-9]+\n$")) << r.out;

    r = run_tool({"get", "--sim", "fpa-temperature"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(search(r.out, "^-?[0-9]+\\.[0-9]{2}\n$")) << r.out;

    r = run_tool({"get", "--sim"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *name :
         {"agc ", "agc-calc ", "telemetry ", "gain-mode ", "shutter-position ", "video-format ", "oem-video-format ",
          "pcolor-lut ", "freeze ", "radiometry ", "frames-to-average ", "heq-linear-percent ", "rbfo-internal "})
        EXPECT_NE(("\n" + r.out).find(std::string("\n") + name), std::string::npos) << name << "\n" << r.out;
}

TEST_F(CommandsTest, SetAcceptsValuesInRangeByNameAndAlias)
{
    auto r = run_tool({"set", "--sim", "gain-mode", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "gain-mode set to 2\n");
    r = run_tool({"set", "--sim", "vid", "14"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = run_tool({"set", "--sim", "shutter-position", "-1"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = run_tool({"set", "--sim", "agc", "on"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(CommandsTest, SetRefusesWhatTheCameraWouldNotTake)
{
    // The camera's own range, found by the library's check.
    auto r = run_tool({"set", "--sim", "gain-mode", "3"});
    expect_clean_failure(r.status, r.err, "3 is out of range for gain-mode: it takes 0 to 2");
    r = run_tool({"set", "--sim", "frames-to-average", "8"});
    expect_clean_failure(r.status, r.err, "out of range for frames-to-average");
    // Values the parameter can't carry never reach the library.
    r = run_tool({"set", "--sim", "heq-linear-percent", "70000"});
    expect_clean_failure(r.status, r.err, "out of range for heq-linear-percent");
    r = run_tool({"set", "--sim", "agc", "-1"});
    expect_clean_failure(r.status, r.err, "out of range for agc");
    r = run_tool({"set", "--sim", "agc", "one"});
    expect_clean_failure(r.status, r.err, "must be a whole number");
    r = run_tool({"set", "--sim", "brightness", "1"});
    expect_clean_failure(r.status, r.err, "unknown setting 'brightness'");
    r = run_tool({"set", "--sim", "uptime", "1"});
    expect_clean_failure(r.status, r.err, "can be read but not set");
    r = run_tool({"get", "--sim", "brightness"});
    expect_clean_failure(r.status, r.err, "unknown setting 'brightness'");
}

TEST_F(CommandsTest, MissingDeviceIsNamedWithAHint)
{
    const std::string device = path("ttyACM9");
    for (const char *command : {"info", "capture", "ffc", "stream"}) {
        const auto r = run_tool({command, "--device", device});
        expect_clean_failure(r.status, r.err, "no bridge at " + device);
        EXPECT_NE(r.err.find("lep3 list"), std::string::npos) << r.err;
    }
    // A path that exists but is no serial device.
    const auto r = run_tool({"info", "--device", dir_});
    expect_clean_failure(r.status, r.err, "cannot open the bridge at " + dir_);
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

    r = run_tool({"stream", "--sim", "--seconds", "1.2"});
    EXPECT_EQ(r.status, 0) << r.err;
    // Without a terminal: a line a second and the final state, with the link counters.
    const auto m = search(r.out, "[0-9]+\\.[0-9] fps \\| frames ([0-9]+)\\.\\.([0-9]+) \\| dropped 0 \\| "
                                 "centre -?[0-9]+\\.[0-9]{2} °C \\| link: .* ([0-9]+) raw, 0 rgb, ");
    ASSERT_TRUE(m) << r.out;
    EXPECT_EQ((*m)[1], "1");
}

TEST_F(CommandsTest, StreamEndsCleanlyOnCtrlC)
{
    lep3::test::ToolProcess p({"stream", "--sim", "--rgb"});
    ASSERT_TRUE(p.wait_for_output("fps", std::chrono::seconds(20)));
    p.send_signal(SIGINT);
    const auto r = p.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" rgb,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("centre - |"), std::string::npos) << r.out; // no temperatures from RGB video
}

TEST_F(CommandsTest, HelpAndUsageMistakes)
{
    for (const char *command : {"info", "capture", "stream", "list", "ffc", "get", "set", "update"}) {
        const auto r = run_tool({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("Usage: lep3 ") + command, 0), 0u) << r.out;
    }
    auto r = run_tool({"--help"});
    EXPECT_EQ(r.status, 0);
    r = run_tool({});
    EXPECT_EQ(r.status, 2);
    r = run_tool({"photograph"});
    expect_clean_failure(r.status, r.err, "unknown command 'photograph'");
    r = run_tool({"info", "--frobnicate"});
    expect_clean_failure(r.status, r.err, "unknown option --frobnicate");
    r = run_tool({"info", "--sim", "--device", "/dev/ttyACM0"});
    expect_clean_failure(r.status, r.err, "exclude each other");
}

} // namespace
