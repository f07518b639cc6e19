// The udev rule that gives each bridge a stable name by its USB serial number,
// /dev/lep3/SERIAL, whichever ttyACM number it gets: matched by the USB vendor and product
// of the bridges present, as sysfs describes them.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace lep3tool {

struct UsbSerialDevice {
    std::string device;  // "/dev/ttyACM0"
    std::string vendor;  // four lower-case hex digits, as udev's ID_VENDOR_ID
    std::string product; // as udev's ID_MODEL_ID
    std::string serial;  // the USB serial number; empty when the device has none
};

// Each ttyACM device of sysfs (sysfs_root/class/tty) with the identity of the USB device
// it belongs to, in name order; devices whose identity can't be read are left out.
std::vector<UsbSerialDevice> find_usb_serial_devices(const std::string &sysfs_root = "/sys");

// The rule's text: a comment naming each device and its stable name, and one match for
// each vendor and product pair.
std::string udev_rule(std::span<const UsbSerialDevice> devices);

} // namespace lep3tool
