// lep3 info: what the bridge and the camera core say about themselves.
#include <dirent.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "hostkit/command_support.h"
#include "hostkit/command_thread.h"
#include "hostkit/console.h"
#include "hostkit/firmware_version.h"
#include "hostkit/result_text.h"
#include "hostkit/text_format.h"
#include "lep3.h"
#include "tools/commands.h"

namespace lep3tool {

namespace {

constexpr OptionDef kOptions[] = {
    {"json", 0, "", "print one JSON object for scripts"},
};

struct Info {
    std::optional<uint32_t> firmware_version;
    std::optional<uint32_t> image_version;
    std::optional<uint32_t> camera_status;
    std::optional<uint64_t> serial_number;
    std::optional<uint32_t> uptime; // milliseconds
    std::optional<float> fpa_celsius;
    std::optional<float> aux_celsius;
    int failures = 0;
    int first_failure = 0;
};

template <typename T, typename Getter> std::optional<T> read(Info &info, Getter getter, const char *what)
{
    T value{};
    const int r = awaiting_reply([&] { return getter(&value); });
    if (r == 0)
        return value;
    if (info.failures++ == 0)
        info.first_failure = r;
    warning("%s could not be read: %s", what, describe_result(r).c_str());
    return std::nullopt;
}

// The image file's version, when the firmware directory holds one. The directory is
// looked at first: a camera system without one is normal, not worth the library's
// error message.
std::optional<uint32_t> image_version()
{
    const char *dir = LEP3_GetPath(LEP3_PATH_FIRMWARE_DIR);
    DIR *d = dir != nullptr ? opendir(dir) : nullptr;
    if (d == nullptr)
        return std::nullopt;
    closedir(d);
    const char *name = search_firmware();
    if (name == nullptr)
        return std::nullopt;
    try {
        return image_file_version(std::string(dir) + "/" + name);
    } catch (const std::runtime_error &e) {
        warning("%s", e.what());
        return std::nullopt;
    }
}

template <typename T, typename Show> nlohmann::ordered_json json_or_null(const std::optional<T> &v, Show show)
{
    return v ? nlohmann::ordered_json(show(*v)) : nlohmann::ordered_json(nullptr);
}

template <typename T, typename Show> std::string text_or(const std::optional<T> &v, Show show, const char *missing)
{
    return v ? show(*v) : std::string(missing);
}

double hundredths(float celsius)
{
    return std::round(static_cast<double>(celsius) * 100) / 100;
}

std::string celsius_text(float celsius)
{
    return format_text("%.2f °C", static_cast<double>(celsius));
}

std::string serial_text(uint64_t serial)
{
    return format_text("0x%016" PRIx64, serial);
}

double seconds(uint32_t ms)
{
    return ms / 1000.0;
}

void print_json(const std::string &device, const Info &i)
{
    const nlohmann::ordered_json object = {
        {"device", device},
        {"library_version", LEP3_GetLibraryVersion()},
        {"firmware_version", json_or_null(i.firmware_version, version_text)},
        {"image_file_version", json_or_null(i.image_version, version_text)},
        {"camera_status", json_or_null(i.camera_status, [](uint32_t s) { return s; })},
        {"camera_ready", json_or_null(i.camera_status, [](uint32_t s) { return s == 0; })},
        {"serial_number", json_or_null(i.serial_number, serial_text)},
        {"uptime_s", json_or_null(i.uptime, seconds)},
        {"fpa_temperature_c", json_or_null(i.fpa_celsius, hundredths)},
        {"aux_temperature_c", json_or_null(i.aux_celsius, hundredths)},
    };
    print("%s\n", object.dump().c_str());
}

void print_text(const std::string &device, const Info &i)
{
    const std::string status =
        i.camera_status ? (*i.camera_status == 0 ? "ready" : "not ready (" + std::to_string(*i.camera_status) + ")")
                        : "unavailable";
    print("device:             %s\n", device.c_str());
    print("bridge firmware:    %s\n", text_or(i.firmware_version, version_text, "unavailable").c_str());
    print("image file version: %s\n", text_or(i.image_version, version_text, "none").c_str());
    print("camera status:      %s\n", status.c_str());
    print("serial number:      %s\n", text_or(i.serial_number, serial_text, "unavailable").c_str());
    print("up-time:            %s\n",
          text_or(
              i.uptime, [](uint32_t ms) { return format_text("%.3f s", seconds(ms)); }, "unavailable")
              .c_str());
    print("FPA temperature:    %s\n", text_or(i.fpa_celsius, celsius_text, "unavailable").c_str());
    print("AUX temperature:    %s\n", text_or(i.aux_celsius, celsius_text, "unavailable").c_str());
}

int run_info(const ParsedArgs &args)
{
    if (!args.positionals().empty())
        throw UsageError("info takes no arguments");
    Session session(session_options(args));
    Info info;
    // A bridge that doesn't answer at all would make every further read wait out its
    // reply time: stop after the first one.
    info.firmware_version = read<uint32_t>(info, LEP3_GetFirmwareVersion, "the bridge firmware version");
    if (info.first_failure == -2)
        throw std::runtime_error("the bridge at " + session.device() + " does not answer");
    info.image_version = image_version();
    info.camera_status = [&info]() -> std::optional<uint32_t> {
        auto status = read<lep3_sys_status_t>(info, LEP3_GetSysStatus, "the camera status");
        return status ? std::optional<uint32_t>(status->camera_status) : std::nullopt;
    }();
    info.serial_number = read<uint64_t>(info, LEP3_GetSysFlirSerialNumber, "the serial number");
    info.uptime = read<uint32_t>(info, LEP3_GetSysCameraUpTime, "the up-time");
    info.fpa_celsius = read<float>(info, LEP3_GetSysFpaTemperatureCelcius, "the FPA temperature");
    info.aux_celsius = read<float>(info, LEP3_GetSysAuxTemperatureCelcius, "the AUX temperature");

    if (args.has("json"))
        print_json(session.device(), info);
    else
        print_text(session.device(), info);
    flush_output();
    if (info.failures > 0) {
        error("%d of 6 values could not be read", info.failures);
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace

const Command kInfoCommand = {
    "info",
    "[--json]",
    "show the bridge firmware, camera status, serial number, up-time and temperatures",
    "The image file version is that of a firmware image waiting in the firmware directory, if any.\n"
    "Versions read as the bridge shows them (2.62); the up-time is in seconds.",
    kOptions,
    run_info,
};

} // namespace lep3tool
