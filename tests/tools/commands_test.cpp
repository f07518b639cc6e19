// The tool's other subcommands against the emulator, the ways a user can get them wrong
// (a device it can't use is explained in one line that points at the remedy), help texts
// that fit a terminal; the library's messages, which belong to the tool: hidden unless
// asked for, never glued to the tool's own lines; and the udev rule that list writes for
// the bridges on a sysfs tree made by the test, one match for each model.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hostkit/console.h"
#include "hostkit/library_messages.h"
#include "link/console.h"
#include "tools/tool_fixture.h"
#include "tools/udev_rule.h"

namespace {

using lep3::test::expect_clean_failure;
using lep3::test::run_tool;
using lep3::test::search;
using nlohmann::json;

using CommandsTest = lep3::test::ToolTest;

// Every line of text, as a terminal counts its columns (UTF-8 characters).
size_t widest_line(const std::string &text)
{
    size_t widest = 0, columns = 0;
    for (const char c : text) {
        if (c == '\n')
            columns = 0;
        else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            widest = std::max(widest, ++columns);
    }
    return widest;
}

TEST_F(CommandsTest, EveryHelpTextFitsEightyColumns)
{
    // The emulator's program is a tool of its own, with its own help.
    for (const std::string name : {"", "info", "capture", "stream", "list", "ffc", "get", "set", "update", "recover",
                                   "view", "serve", "watch", "record", "inspect", "lep3-bridge-sim"}) {
        std::vector<std::string> args = {"--help"};
        if (!name.empty())
            args.insert(args.begin(), name);
        const auto r = name == "lep3-bridge-sim"
                           ? lep3::test::ToolProcess(
                                 {}, {"/bin/sh", "-c", std::string("exec ") + LEP3_BRIDGE_SIM_PATH + " --help"})
                                 .finish()
                           : run_tool(args);
        if (r.status != 0 && (name == "record" || name == "inspect"))
            continue; // built without libtiff
        ASSERT_EQ(r.status, 0) << name;
        EXPECT_LE(widest_line(r.out), 80u) << name << "\n" << r.out;
    }
}

TEST_F(CommandsTest, InfoAsTextAndAsJsonOnAnOtherwiseCleanStdout)
{
    auto r = run_tool({"info", "--sim"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *label : {"bridge firmware:    2.62\n", "camera status:      ready",
                              "serial number:", "FPA temperature:", "AUX temperature:"})
        EXPECT_NE(r.out.find(label), std::string::npos) << label << "\n" << r.out;
    EXPECT_TRUE(search(r.out, "\nup-time: +[0-9]+\\.[0-9]{3} s\n")) << r.out;
    EXPECT_EQ(r.out.find("unavailable"), std::string::npos) << r.out;
    r = run_tool({"info", "--sim", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json::parse(r.out).at("firmware_version"), "2.62"); // one object and nothing else
}

TEST_F(CommandsTest, GetPrintsValuesWithUnitsInTheirNamedOrderAndAsJson)
{
    for (const auto &[name, form] :
         {std::pair{"gain-mode", "^[0-9]+\n$"}, std::pair{"fpa-temperature", "^-?[0-9]+\\.[0-9]{2}\n$"},
          std::pair{"uptime", "^[0-9]+\\.[0-9]{3} s\n$"},
          // start column, start row, end column, end row, as the help says
          std::pair{"scene-roi", "^0 0 159 119\n$"}}) {
        const auto r = run_tool({"get", "--sim", name});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(search(r.out, form)) << name << ": " << r.out;
    }
    auto r = run_tool({"get", "--sim"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *name :
         {"agc ", "agc-calc ", "telemetry ", "gain-mode ", "shutter-position ", "video-format ", "oem-video-format ",
          "pcolor-lut ", "freeze ", "radiometry ", "frames-to-average ", "heq-linear-percent ", "rbfo-internal "})
        EXPECT_NE(("\n" + r.out).find(std::string("\n") + name), std::string::npos) << name << "\n" << r.out;

    r = run_tool({"get", "--sim", "--json", "gain-mode"});
    EXPECT_EQ(json::parse(r.out), json({{"gain-mode", 0}})) << r.out;
}

TEST_F(CommandsTest, SetTakesWhatTheCameraTakesByNameAndAlias)
{
    auto r = run_tool({"set", "--sim", "gain-mode", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    // The emulator lives as long as the command.
    EXPECT_EQ(r.out, "gain-mode set to 2 (in the emulator, which forgets it when this command ends)\n");
    for (const auto &[name, value] : {std::pair{"vid", "14"}, {"shutter-position", "-1"}, {"agc", "on"}})
        EXPECT_EQ(run_tool({"set", "--sim", name, value}).status, 0) << name;
}

// A palette that doesn't exist, a value out of the camera's range (found by the library's
// check) or one the parameter can't carry (which never reaches the library; the other
// sentences are the viewer's bad-request table's: the same parser), a bridge that isn't
// there, a device that is no terminal: one clear line that names the cause, no crash. --quiet: nothing of the library,
// even when it has much to say about a device that isn't a terminal; the tool's own line remains, which names no system
// call even with --verbose. Results stay on standard output.
TEST_F(CommandsTest, MistakesFailCleanlyAndQuietSilencesTheLibraryCompletely)
{
    std::ofstream(path("not-a-tty")).put('\n');
    for (const auto &[args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"capture", "--sim", "--palette", "nosuch", "-o", "unused"}, "unknown palette 'nosuch'"},
             {{"set", "--sim", "gain-mode", "3"}, "3 is out of range for gain-mode: it takes 0 to 2"},
             {{"set", "--sim", "frames-to-average", "8"}, "out of range for frames-to-average"},
             {{"info", "--device", "/nonexistent/tty"}, "no bridge at /nonexistent/tty: No such file or directory"},
             {{"info", "--verbose", "--device", path("not-a-tty")}, path("not-a-tty") + " is not a serial device"},
             {{"info", "--quiet", "--device", path("not-a-tty")}, path("not-a-tty") + " is not a serial device"}}) {
        const auto r = run_tool(args);
        expect_clean_failure(r, message);
        EXPECT_EQ(r.err.find("ioctl"), std::string::npos) << r.err;
        EXPECT_TRUE(args[1] != "--quiet" || search(r.err, "^lep3: error: [^\n]*is not a serial device\n$")) << r.err;
    }
    auto r = run_tool({"ffc", "--sim", "--rad", "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "radiometric flat-field correction done\n");
}

TEST(LibraryMessages, HiddenByDefaultShownVerboseAndAnOpenLineEndsBeforeTheToolsNext)
{
    struct Case {
        bool verbose;
        const char *library;
        std::string want;
    };
    for (const auto &c : {Case{false, "LEP_Uart inited,fd=6\n", "lep3: error: next\n"},
                          Case{true, "LEP_Uart inited,fd=6\n", "LEP_Uart inited,fd=6\nlep3: error: next\n"},
                          Case{true, "Send get firmware version error: -2!",
                               "Send get firmware version error: -2!\nlep3: error: next\n"}}) {
        SCOPED_TRACE(c.library);
        lep3tool::route_library_messages(c.verbose);
        testing::internal::CaptureStderr();
        lep3::console::write_error(c.library);
        lep3tool::error("next");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.want);
    }
}

TEST_F(CommandsTest, FfcAndListAndStreamRunToTheEnd)
{
    auto r = run_tool({"ffc", "--sim"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "flat-field correction done\n");
    r = run_tool({"list", "--sim"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("ttyACM0\t(emulator"), std::string::npos) << r.out;

    // Without a terminal: the state each second and at the end, in 80 columns, with the
    // link's counters below it when asked for.
    r = run_tool({"stream", "--sim", "--seconds", "3", "--verbose"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LE(widest_line(r.out), 80u) << r.out;
    const auto m = search(r.out, "[0-9]+\\.[0-9] fps \\| frames ([0-9]+)\\.\\.([0-9]+) \\| dropped 0 \\| "
                                 "centre -?[0-9]+\\.[0-9]{2} °C\n  link up: .* read, .* skipped, 0 reconnects\n");
    ASSERT_TRUE(m) << r.out;
    EXPECT_EQ((*m)[1], "1");
    EXPECT_TRUE(search(r.out, "\n  frames: [1-9][0-9]* raw, 0 RGB, ")) << r.out;

    r = run_tool({"stream", "--sim", "--seconds", "1.5", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    int objects = 0;
    for (std::string line; std::getline(lines, line); ++objects) {
        const json state = json::parse(line);
        EXPECT_EQ(state.at("link"), "up");
        EXPECT_EQ(state.at("first_frame"), 1);
        EXPECT_TRUE(state.at("stats").at("frames_raw").is_number_unsigned());
    }
    EXPECT_GE(objects, 2);
}

// The group is named only when joining it would help; otherwise the owner and mode are.
// Root opens anything, so as root the tool runs as nobody. The device is in the tool's
// one line, and a file that is no terminal is named as such, with no system call.
TEST_F(CommandsTest, PermissionHintNamesTheGroupOnlyWhenItMayUseTheDeviceAndPlainFilesAreNoSerialDevice)
{
    std::vector<std::string> launcher;
    if (geteuid() == 0) {
        for (std::filesystem::path p = std::filesystem::absolute(LEP3_TOOL_PATH).parent_path(); p != p.root_path();
             p = p.parent_path()) {
            struct stat st {};
            if (stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
                GTEST_SKIP() << "nobody can't reach the tool under " << p;
        }
        launcher = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    const std::string me = geteuid() == 0 ? "root" : std::string(getpwuid(geteuid())->pw_name);
    const group *dialout = getgrnam("dialout");
    const gid_t gid = dialout != nullptr ? dialout->gr_gid : getgid();
    const std::string group_hint = "(the device belongs to group '" + std::string(getgrgid(gid)->gr_name) + "'";
    for (const auto &[mode, hint] :
         {std::pair{0600, "(the device belongs to user '" + me + "', mode 0600, and its group may not use it)"},
          {0640, "(the device belongs to user '" + me + "', mode 0640, "},
          {0660, group_hint}}) {
        SCOPED_TRACE(mode);
        const std::string device = path("ttyACM9");
        std::ofstream(device).put('\n');
        ASSERT_EQ(chown(device.c_str(), geteuid(), mode == 0660 ? gid : getegid()), 0);
        ASSERT_EQ(chmod(device.c_str(), geteuid() == 0 ? mode : 0), 0);
        const auto r = lep3::test::ToolProcess({"info", "--device", device}, launcher).finish();
        lep3::test::expect_clean_failure(r, device + ": Permission denied");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        if (geteuid() == 0 || mode == 0660) {
            EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;
        }
        EXPECT_EQ(r.err.find("group '") != std::string::npos, mode == 0660) << r.err;
    }
}

// A USB device with a CDC-ACM interface whose tty is name, as the kernel lays it out.
void add_device(const std::filesystem::path &sys, const std::string &usb, const std::string &name, const char *vendor,
                const char *product, const char *serial)
{
    const std::filesystem::path device = sys / "devices/pci0000:00/usb1" / usb;
    const std::filesystem::path interface = device / (usb + ":1.0");
    std::filesystem::create_directories(interface / "tty" / name);
    std::ofstream(device / "idVendor") << vendor << "\n";
    std::ofstream(device / "idProduct") << product << "\n";
    if (serial != nullptr)
        std::ofstream(device / "serial") << serial << "\n";
    std::filesystem::create_directory_symlink(std::filesystem::relative(interface, interface / "tty" / name),
                                              interface / "tty" / name / "device");
    std::filesystem::create_directories(sys / "class/tty");
    std::filesystem::create_directory_symlink(std::filesystem::relative(interface / "tty" / name, sys / "class/tty"),
                                              sys / "class/tty" / name);
}

TEST_F(CommandsTest, UdevRuleNamesEveryBridgeBySerialWithOneMatchPerModel)
{
    const std::filesystem::path sys = path("sys");
    EXPECT_TRUE(lep3tool::find_usb_serial_devices(sys.string()).empty());
    add_device(sys, "1-2", "ttyACM1", "1d6b", "0104", "B 7");
    add_device(sys, "1-1", "ttyACM0", "1d6b", "0104", "A1");
    add_device(sys, "1-3", "ttyACM2", "cafe", "4001", nullptr);
    add_device(sys, "1-4", "ttyS0", "1d6b", "0104", "not-acm");

    const auto devices = lep3tool::find_usb_serial_devices(sys.string());
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].device, "/dev/ttyACM0");
    EXPECT_EQ(devices[0].serial, "A1");
    EXPECT_EQ(devices[2].vendor, "cafe");
    EXPECT_EQ(devices[2].serial, "");

    const std::string rule = lep3tool::udev_rule(devices);
    for (const char *expected : {
             "#   /dev/ttyACM0: USB 1d6b:0104, serial A1 -> /dev/lep3/A1\n",
             "#   /dev/ttyACM1: USB 1d6b:0104, serial B 7 -> /dev/lep3/B_7\n",
             "#   /dev/ttyACM2: USB cafe:4001, no serial number: no stable name\n",
             "ENV{ID_VENDOR_ID}==\"cafe\", ENV{ID_MODEL_ID}==\"4001\", ENV{ID_SERIAL_SHORT}==\"?*\", \\\n"
             "  SYMLINK+=\"lep3/$env{ID_SERIAL_SHORT}\", GROUP=\"dialout\", MODE=\"0660\", TAG+=\"systemd\"\n",
         })
        EXPECT_NE(rule.find(expected), std::string::npos) << expected << "\nin\n" << rule;
    size_t matches = 0;
    for (size_t at = rule.find("ENV{ID_VENDOR_ID}"); at != std::string::npos;
         at = rule.find("ENV{ID_VENDOR_ID}", at + 1))
        ++matches;
    EXPECT_EQ(matches, 2u);
    EXPECT_EQ(rule.find("VVVV"), std::string::npos);
}

} // namespace
