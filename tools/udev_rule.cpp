#include "tools/udev_rule.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <utility>

namespace lep3tool {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kAcmPrefix = "ttyACM";

// The first line of a sysfs attribute, or empty.
std::string attribute(const fs::path &dir, const char *name)
{
    std::ifstream file(dir / name);
    std::string line;
    std::getline(file, line);
    return line;
}

// Four lower-case hex digits, as sysfs writes a USB ID and udev matches it.
bool usb_id(const std::string &text)
{
    return text.size() == 4 && std::all_of(text.begin(), text.end(),
                                           [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The serial number as udev's usb_id makes ID_SERIAL_SHORT of it: white space becomes
// '_', and so does anything outside the characters udev keeps in a name.
std::string udev_serial(const std::string &serial)
{
    std::string out;
    for (const char c : serial) {
        const bool kept = std::isalnum(static_cast<unsigned char>(c)) != 0 ||
                          std::string_view("#+-.:=@_").find(c) != std::string_view::npos;
        out.push_back(kept ? c : '_');
    }
    return out;
}

} // namespace

std::vector<UsbSerialDevice> find_usb_serial_devices(const std::string &sysfs_root)
{
    std::vector<UsbSerialDevice> found;
    std::error_code ec;
    const fs::path root = fs::canonical(sysfs_root, ec);
    for (fs::directory_iterator it(fs::path(sysfs_root) / "class" / "tty", ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kAcmPrefix, 0) != 0)
            continue;
        // device is the USB interface; the USB device, with its identity, is above it.
        std::error_code rc;
        fs::path dir = fs::canonical(it->path() / "device", rc);
        while (!rc && dir.has_relative_path() && dir != root && !fs::exists(dir / "idVendor", rc))
            dir = dir.parent_path();
        if (rc || !fs::exists(dir / "idVendor", rc))
            continue;
        UsbSerialDevice device{"/dev/" + name, attribute(dir, "idVendor"), attribute(dir, "idProduct"),
                               attribute(dir, "serial")};
        if (usb_id(device.vendor) && usb_id(device.product))
            found.push_back(std::move(device));
    }
    std::sort(found.begin(), found.end(),
              [](const UsbSerialDevice &a, const UsbSerialDevice &b) { return a.device < b.device; });
    return found;
}

std::string udev_rule(std::span<const UsbSerialDevice> devices)
{
    std::string text = "# Stable names for the lep3 bridges by their USB serial number, /dev/lep3/SERIAL, whichever\n"
                       "# ttyACM number they get (for the service's instance lep3-serve@lep3-SERIAL).\n"
                       "# Made by `lep3 list --udev-rule` for the bridges present:\n";
    std::set<std::pair<std::string, std::string>> models;
    for (const auto &d : devices) {
        text += "#   " + d.device + ": USB " + d.vendor + ":" + d.product;
        text += d.serial.empty() ? ", no serial number: no stable name\n"
                                 : ", serial " + d.serial + " -> /dev/lep3/" + udev_serial(d.serial) + "\n";
        models.emplace(d.vendor, d.product);
    }
    text += "# Install as /etc/udev/rules.d/60-lep3.rules, then\n"
            "# `udevadm control --reload && udevadm trigger --subsystem-match=tty`.\n"
            "ACTION==\"remove\", GOTO=\"lep3_end\"\n"
            "SUBSYSTEM!=\"tty\", GOTO=\"lep3_end\"\n"
            "SUBSYSTEMS==\"usb\", IMPORT{builtin}=\"usb_id\"\n";
    for (const auto &[vendor, product] : models)
        text += "ENV{ID_VENDOR_ID}==\"" + vendor + "\", ENV{ID_MODEL_ID}==\"" + product +
                "\", ENV{ID_SERIAL_SHORT}==\"?*\", \\\n"
                "  SYMLINK+=\"lep3/$env{ID_SERIAL_SHORT}\", GROUP=\"dialout\", MODE=\"0660\", TAG+=\"systemd\"\n";
    text += "LABEL=\"lep3_end\"\n";
    return text;
}

} // namespace lep3tool
