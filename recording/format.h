// The text a recording carries beside its pixels: what makes its raw values
// reproducible as temperatures long after the camera has gone. A recording is a
// multi-page TIFF, one page a frame; every page's ImageDescription holds the page's own
// lines, and the first page's also the lines of the whole file. The writer (lep3 record)
// and the readers (the emulator's replay, lep3 inspect) both go through this file, so
// the format is defined here only.
//
// The text is plain lines "Key: value" after a first line naming the format; readers
// skip keys they don't know, so later versions may add lines.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "lep3.h"
#include "thermo/region_text.h"

namespace lep3::recording {

inline constexpr uint32_t kWidth = 160;
inline constexpr uint32_t kHeight = 120;
inline constexpr uint32_t kPixels = kWidth * kHeight;

// What the pages hold: the camera core's raw values (16-bit unsigned pages), or degrees
// Celsius computed from them (32-bit float pages, in a file of their own).
enum class Values { raw, celsius };

struct Rbfo {
    uint32_t r = 0;
    uint32_t b = 0;
    uint32_t f = 0;
    uint32_t o = 0;
    bool operator==(const Rbfo &) const = default;
};

// One frame's page.
struct PageInfo {
    uint32_t frame_number = 0;        // the library's count: a jump is a frame the host never took
    int64_t host_time_us = 0;         // when the library completed the frame: UTC, microseconds since 1970
    bool check_ok = true;             // the session saw the frame packet's check byte match
    std::optional<float> fpa_celsius; // the latest reading, taken at most a second or so before
    std::string rbfo_set;             // which of the camera's sets R, O come from: "internal" or "external"
    std::optional<Rbfo> rbfo;         // the conversion's R, B, F, O, or nothing when unreadable
    bool operator==(const PageInfo &) const = default;
};

// The whole file's, on the first page.
struct FileInfo {
    Values values = Values::raw;
    std::string library_version;
    std::optional<uint32_t> firmware_version; // the bridge's, in hundredths as LEP3_GetFirmwareVersion gives it
    std::optional<uint64_t> serial_number;    // the camera core's
    // What the temperatures were taken with: the object parameters (nothing in a file
    // written before they were recorded: the library's defaults then) and the regions
    // measured, in the order given.
    std::optional<lep3_object_params_t> object = std::nullopt;
    std::vector<lep3::thermo::NamedRegion> regions = {};
    bool operator==(const FileInfo &) const;
};

// The object parameters compared field by field. A black body seen through nothing (its
// emissivity and the window's transmission 1, no distance): the other parameters weigh
// nothing then, and the plain conversion gives the object's temperatures.
bool same_object(const lep3_object_params_t &a, const lep3_object_params_t &b);
bool is_black_body(const lep3_object_params_t &p);
// A region as its line states it: "box hot=10,20,30,40", "spot spot1=80,60".
std::string describe_region(const lep3::thermo::NamedRegion &region);

// A page's description; file is given for the first page only.
std::string describe_page(const PageInfo &page, const FileInfo *file);

// A description that is not a recording's, or a value that doesn't parse.
class FormatError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Description {
    PageInfo page;
    std::optional<FileInfo> file; // present when the text holds the file's lines
};
// Throws FormatError naming the first line that is missing or wrong.
Description parse_description(std::string_view text);

// True when text starts as a recording's description does.
bool is_recording_description(std::string_view text);

// "2024-05-01T12:34:56.123456Z" and back; the text form throws FormatError when malformed.
std::string utc_text(int64_t us);
int64_t parse_utc(std::string_view text);

// How a value becomes kelvin, as the file states it, and the library's fixed B and F.
extern const std::string_view kTemperatureText;
extern const std::string_view kCelsiusText;
extern const std::string_view kObjectCelsiusText;
// The file's "Temperature" line: which of the three texts above its values are.
std::string_view temperature_text(const FileInfo &file);
inline constexpr uint32_t kConversionB = 1428;
inline constexpr uint32_t kConversionF = 1;

} // namespace lep3::recording
