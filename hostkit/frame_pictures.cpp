#include "hostkit/frame_pictures.h"

#include <cinttypes>
#include <ctime>

#include "hostkit/command_thread.h"
#include "hostkit/firmware_version.h"
#include "hostkit/text_format.h"
#include "names/palettes.h"

namespace lep3tool {

namespace {

// The library's conversion constants, recorded with the raw values.
constexpr const char *kConversionB = "1428";
constexpr const char *kConversionF = "1";

// A temperature for a text chunk (Latin-1, so no degree sign), or "unavailable".
std::string chunk_celsius(std::optional<float> t)
{
    if (!t)
        return "unavailable";
    return format_text("%.2f C", static_cast<double>(*t));
}

} // namespace

Provenance read_provenance()
{
    Provenance p;
    uint64_t serial = 0;
    if (awaiting_reply([&] { return LEP3_GetSysFlirSerialNumber(&serial); }) == 0)
        p.serial_number = format_text("0x%016" PRIx64, serial);
    uint32_t version = 0;
    if (awaiting_reply([&] { return LEP3_GetFirmwareVersion(&version); }) == 0)
        p.firmware_version = version_text(version);
    return p;
}

std::string iso_time(std::chrono::system_clock::time_point t)
{
    const auto since = t.time_since_epoch();
    const std::time_t secs = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[40];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return std::string(buf, n) + format_text(".%03dZ", static_cast<int>(ms));
}

std::vector<PngText> colour_picture_text(uint32_t frame_number, std::chrono::system_clock::time_point taken,
                                         uint32_t palette, uint16_t used_min, uint16_t used_max,
                                         const std::string &range_text)
{
    return {
        {"Software", "lep3"},
        {"Frame Number", std::to_string(frame_number)},
        {"Creation Time", iso_time(taken)},
        {"Palette", std::string(lep3::names::kPaletteNames.at(palette))},
        {"Raw Range", std::to_string(used_min) + ":" + std::to_string(used_max) + " (" + range_text + ")"},
    };
}

std::vector<PngText> raw_picture_text(uint32_t frame_number, std::chrono::system_clock::time_point taken,
                                      std::optional<float> fpa_celsius, const std::optional<lep3_rbfo_t> &rbfo,
                                      RbfoSet rbfo_set, const Provenance &provenance)
{
    auto word = [&rbfo](uint32_t lep3_rbfo_t::*field) {
        return rbfo ? std::to_string((*rbfo).*field) : std::string("unavailable");
    };
    return {
        {"Software", "lep3"},
        {"Description", "raw values of the camera core, 14 significant bits"},
        {"Frame Number", std::to_string(frame_number)},
        {"Creation Time", iso_time(taken)},
        {"FPA Temperature", chunk_celsius(fpa_celsius)},
        {"R", word(&lep3_rbfo_t::r)},
        {"B", rbfo ? kConversionB : "unavailable"},
        {"F", rbfo ? kConversionF : "unavailable"},
        {"O", word(&lep3_rbfo_t::o)},
        {"Temperature", "T = B / ln(R / (raw - O) + F) kelvin, R and O from the camera's " +
                            std::string(rbfo_set_name(rbfo_set)) + " RBFO set"},
        {"Camera Serial Number", provenance.serial_number},
        {"Bridge Firmware", provenance.firmware_version},
        {"Library Version", LEP3_GetLibraryVersion()},
    };
}

} // namespace lep3tool
