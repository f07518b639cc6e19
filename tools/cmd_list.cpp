// lep3 list: the serial devices that could be a bridge, with their stable names.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hostkit/command_support.h"
#include "hostkit/console.h"
#include "tools/commands.h"
#include "tools/udev_rule.h"

namespace lep3tool {

namespace {

namespace fs = std::filesystem;

constexpr const char *kByIdDir = "/dev/serial/by-id";
constexpr const char *kDevDir = "/dev";
constexpr std::string_view kAcmPrefix = "ttyACM";

// Device path -> its names under /dev/serial/by-id, which stay the same whichever
// order the cameras were plugged in.
std::map<std::string, std::vector<std::string>> find_devices()
{
    std::map<std::string, std::vector<std::string>> devices;
    std::error_code ec;
    for (fs::directory_iterator it(kByIdDir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code rc;
        const fs::path target = fs::canonical(it->path(), rc);
        devices[rc ? it->path().string() : target.string()].push_back(it->path().string());
    }
    for (fs::directory_iterator it(kDevDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kAcmPrefix, 0) == 0)
            devices[it->path().string()];
    }
    for (auto &entry : devices)
        std::sort(entry.second.begin(), entry.second.end());
    return devices;
}

constexpr OptionDef kOptions[] = {
    {"udev-rule", 0, "", "print the udev rule that names the bridges present /dev/lep3/SERIAL"},
};

int print_udev_rule()
{
    const auto devices = find_usb_serial_devices();
    if (devices.empty()) {
        print_to(stderr, "lep3: no USB serial device (ttyACM) is present: plug the bridges in, then ask again\n");
        return kExitFailure;
    }
    print("%s", udev_rule(devices).c_str());
    return kExitOk;
}

int run_list(const ParsedArgs &args)
{
    if (!args.positionals().empty())
        throw UsageError("list takes no arguments");
    if (args.has("udev-rule"))
        return print_udev_rule();
    const auto devices = find_devices();
    for (const auto &[device, names] : devices) {
        print("%s", device.c_str());
        for (const auto &name : names)
            print("\t%s", name.c_str());
        print("%c", '\n');
    }
    // With --sim the emulator's device is listed too, as the device a session would use.
    std::unique_ptr<Session> sim;
    if (args.has("sim")) {
        sim = std::make_unique<Session>(session_options(args));
        print("%s\t(emulator, while this command runs)\n", sim->device().c_str());
    }
    flush_output();
    if (devices.empty() && !sim)
        print_to(stderr, "lep3: no serial devices found that could be a bridge\n");
    return kExitOk;
}

} // namespace

const Command kListCommand = {
    "list",
    "[--udev-rule]",
    "list the serial devices that could be a bridge, with their stable names",
    "Each line holds a device and, tab-separated, its names under /dev/serial/by-id;\n"
    "pass one of them to --device to pick a camera whatever order it was plugged in.\n"
    "With --udev-rule it prints instead the udev rule that gives each bridge present the\n"
    "name /dev/lep3/SERIAL by its USB serial number (install it as the rule says).",
    kOptions,
    run_list,
};

} // namespace lep3tool
