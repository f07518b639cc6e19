// lep3 list --udev-rule on a sysfs tree made by the test: the bridges' identities read
// from their USB devices, one match for each model.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tools/tool_fixture.h"
#include "tools/udev_rule.h"

namespace {

namespace fs = std::filesystem;

using UdevRuleTest = lep3::test::ToolTest;

// A USB device with a CDC-ACM interface whose tty is name, as the kernel lays it out.
void add_device(const fs::path &sys, const std::string &usb, const std::string &name, const char *vendor,
                const char *product, const char *serial)
{
    const fs::path device = sys / "devices/pci0000:00/usb1" / usb;
    const fs::path interface = device / (usb + ":1.0");
    fs::create_directories(interface / "tty" / name);
    std::ofstream(device / "idVendor") << vendor << "\n";
    std::ofstream(device / "idProduct") << product << "\n";
    if (serial != nullptr)
        std::ofstream(device / "serial") << serial << "\n";
    fs::create_directory_symlink(fs::relative(interface, interface / "tty" / name),
                                 interface / "tty" / name / "device");
    fs::create_directories(sys / "class/tty");
    fs::create_directory_symlink(fs::relative(interface / "tty" / name, sys / "class/tty"), sys / "class/tty" / name);
}

TEST_F(UdevRuleTest, RuleNamesEveryBridgeBySerialWithOneMatchPerModel)
{
    const fs::path sys = path("sys");
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
