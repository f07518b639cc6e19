// lep3 info: what the bridge and the camera core say about themselves.
#include <dirent.h>

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>

#include "lep3.h"
#include "tools/command_support.h"
#include "tools/command_thread.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/result_text.h"
#include "tools/text_format.h"

namespace lep3tool {

namespace {

constexpr OptionSpec kOptions[] = {
    {"json", 0, "", "print one JSON object for scripts"},
};

struct Info {
    std::optional<uint32_t> firmware_version;
    std::optional<uint32_t> image_version;
    std::optional<uint32_t> camera_status;
    std::optional<uint64_t> serial_number;
    std::optional<uint32_t> uptime;
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
std::optional<uint32_t> image_file_version()
{
    const char *dir = LEP3_GetPath(LEP3_PATH_FIRMWARE_DIR);
    DIR *d = dir != nullptr ? opendir(dir) : nullptr;
    if (d == nullptr)
        return std::nullopt;
    closedir(d);
    if (search_firmware() == nullptr)
        return std::nullopt;
    uint32_t version = 0;
    if (LEP3_GetSAMG55FileVersion(&version) != 0)
        return std::nullopt;
    return version;
}

template <typename T> std::string json(const std::optional<T> &v, const char *format)
{
    if (!v)
        return "null";
    return format_text(format, *v);
}

std::string json_string(const std::string &s)
{
    std::string quoted = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            quoted += format_text("\\u%04x", static_cast<unsigned>(c));
            continue;
        }
        quoted += c;
    }
    return quoted + "\"";
}

template <typename T> std::string text(const std::optional<T> &v, const char *format)
{
    if (!v)
        return "unavailable";
    return format_text(format, *v);
}

void print_json(FILE *to, const std::string &device, const Info &i)
{
    print_to(to,
             "{\"device\": %s, \"firmware_version\": %s, \"image_file_version\": %s, \"camera_status\": %s, "
             "\"camera_ready\": %s, \"serial_number\": %s, \"uptime\": %s, \"fpa_temperature_c\": %s, "
             "\"aux_temperature_c\": %s}\n",
             json_string(device).c_str(), json(i.firmware_version, "%" PRIu32).c_str(),
             json(i.image_version, "%" PRIu32).c_str(), json(i.camera_status, "%" PRIu32).c_str(),
             i.camera_status ? (*i.camera_status == 0 ? "true" : "false") : "null",
             json(i.serial_number, "\"0x%016" PRIx64 "\"").c_str(), json(i.uptime, "%" PRIu32).c_str(),
             json(i.fpa_celsius ? std::optional<double>(*i.fpa_celsius) : std::nullopt, "%.2f").c_str(),
             json(i.aux_celsius ? std::optional<double>(*i.aux_celsius) : std::nullopt, "%.2f").c_str());
}

void print_text(FILE *to, const std::string &device, const Info &i)
{
    const std::string status =
        i.camera_status ? (*i.camera_status == 0 ? "ready" : "not ready (" + std::to_string(*i.camera_status) + ")")
                        : "unavailable";
    print_to(to, "device:             %s\n", device.c_str());
    print_to(to, "bridge firmware:    %s\n", text(i.firmware_version, "%" PRIu32).c_str());
    print_to(to, "image file version: %s\n", i.image_version ? text(i.image_version, "%" PRIu32).c_str() : "none");
    print_to(to, "camera status:      %s\n", status.c_str());
    print_to(to, "serial number:      %s\n", text(i.serial_number, "0x%016" PRIx64).c_str());
    print_to(to, "up-time:            %s\n", text(i.uptime, "%" PRIu32).c_str());
    print_to(to, "FPA temperature:    %s\n",
             text(i.fpa_celsius ? std::optional<double>(*i.fpa_celsius) : std::nullopt, "%.2f °C").c_str());
    print_to(to, "AUX temperature:    %s\n",
             text(i.aux_celsius ? std::optional<double>(*i.aux_celsius) : std::nullopt, "%.2f °C").c_str());
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
    info.image_version = image_file_version();
    info.camera_status = [&info]() -> std::optional<uint32_t> {
        auto status = read<lep3_sys_status_t>(info, LEP3_GetSysStatus, "the camera status");
        return status ? std::optional<uint32_t>(status->camera_status) : std::nullopt;
    }();
    info.serial_number = read<uint64_t>(info, LEP3_GetSysFlirSerialNumber, "the serial number");
    info.uptime = read<uint32_t>(info, LEP3_GetSysCameraUpTime, "the up-time");
    info.fpa_celsius = read<float>(info, LEP3_GetSysFpaTemperatureCelcius, "the FPA temperature");
    info.aux_celsius = read<float>(info, LEP3_GetSysAuxTemperatureCelcius, "the AUX temperature");

    if (args.has("json"))
        print_json(out(), session.device(), info);
    else
        print_text(out(), session.device(), info);
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
    "The image file version is that of a firmware image waiting in the firmware directory, if any.",
    kOptions,
    run_info,
};

} // namespace lep3tool
