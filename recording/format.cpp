#include "recording/format.h"

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

namespace lep3::recording {

namespace {

constexpr std::string_view kMarker = "lep3 recording ";
constexpr int kFormatVersion = 1;
constexpr std::string_view kUnavailable = "unavailable";

// Keys of the page's lines.
constexpr std::string_view kFrame = "Frame";
constexpr std::string_view kTime = "Time";
constexpr std::string_view kCheck = "Frame check";
constexpr std::string_view kFpa = "FPA temperature";
constexpr std::string_view kRbfoSet = "RBFO set";
constexpr std::string_view kR = "R", kB = "B", kF = "F", kO = "O";
// Keys of the file's lines.
constexpr std::string_view kValues = "Values";
constexpr std::string_view kLibrary = "Library version";
constexpr std::string_view kFirmware = "Bridge firmware";
constexpr std::string_view kSerial = "Camera serial number";
constexpr std::string_view kTemperature = "Temperature";
// The object parameters, one line each, and the regions, "Region 1: box hot=10,20,30,40".
struct ObjectLine {
    std::string_view key;
    float lep3_object_params_t::*field;
    std::string_view unit;
};
constexpr ObjectLine kObjectLines[] = {
    {"Emissivity", &lep3_object_params_t::emissivity, ""},
    {"Reflected temperature", &lep3_object_params_t::reflected_c, " C"},
    {"Air temperature", &lep3_object_params_t::air_c, " C"},
    {"Relative humidity", &lep3_object_params_t::humidity, ""},
    {"Distance", &lep3_object_params_t::distance_m, " m"},
    {"Window transmission", &lep3_object_params_t::window_transmission, ""},
    {"Window temperature", &lep3_object_params_t::window_c, " C"},
};
constexpr std::string_view kRegion = "Region ";

// The session confirms a frame whose check byte it saw match; any other frame (a wrong or
// a missing check byte) is not confirmed.
constexpr std::string_view kCheckOk = "ok", kCheckUnconfirmed = "not confirmed";
constexpr std::string_view kValuesRaw = "raw", kValuesCelsius = "celsius";
constexpr std::string_view kCelsiusUnit = " C";
constexpr int64_t kMicrosPerSecond = 1000000;
constexpr size_t kFractionDigits = 6;

void add_line(std::string &out, std::string_view key, std::string_view value)
{
    out.append(key).append(": ").append(value).push_back('\n');
}

template <typename T> T parse_unsigned(std::string_view key, std::string_view text, int base = 10)
{
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        throw FormatError("'" + std::string(key) + "' is not a whole number: '" + std::string(text) + "'");
    return value;
}

// The bridge reports its version in hundredths and shows 262 as "2.62".
std::string firmware_text(const std::optional<uint32_t> &hundredths)
{
    if (!hundredths)
        return std::string(kUnavailable);
    char buf[32];
    (void)std::snprintf(buf, sizeof buf, "%" PRIu32 ".%02" PRIu32, *hundredths / 100, *hundredths % 100);
    return buf;
}

std::optional<uint32_t> parse_firmware(std::string_view text)
{
    constexpr size_t kHundredthsDigits = 2;
    if (text == kUnavailable)
        return std::nullopt;
    const size_t dot = text.find('.');
    if (dot == std::string_view::npos || text.size() - dot - 1 != kHundredthsDigits)
        throw FormatError("'" + std::string(kFirmware) + "' is not a version such as 2.62: '" + std::string(text) +
                          "'");
    return parse_unsigned<uint32_t>(kFirmware, text.substr(0, dot)) * 100 +
           parse_unsigned<uint32_t>(kFirmware, text.substr(dot + 1));
}

// Serial numbers are shown in hexadecimal, 16 digits.
std::string serial_text(const std::optional<uint64_t> &serial)
{
    if (!serial)
        return std::string(kUnavailable);
    char buf[32];
    (void)std::snprintf(buf, sizeof buf, "0x%016" PRIx64, *serial);
    return buf;
}

std::optional<uint64_t> parse_serial(std::string_view text)
{
    if (text == kUnavailable)
        return std::nullopt;
    if (!text.starts_with("0x"))
        throw FormatError("'" + std::string(kSerial) + "' is not a hexadecimal number: '" + std::string(text) + "'");
    return parse_unsigned<uint64_t>(kSerial, text.substr(2), 16);
}

float parse_celsius(std::string_view text)
{
    const std::string s(text);
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || end == s.c_str() || std::string_view(end) != kCelsiusUnit)
        throw FormatError("'" + std::string(kFpa) + "' is not degrees Celsius: '" + s + "'");
    return static_cast<float>(v);
}

// The shortest text that reads back as the same float.
std::string float_text(float v, std::string_view unit)
{
    char buf[32];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    return std::string(buf, end).append(unit);
}

float parse_float(std::string_view key, std::string_view text, std::string_view unit)
{
    float v = 0;
    const char *last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, v);
    if (ec != std::errc() || std::string_view(end, static_cast<size_t>(last - end)) != unit || !std::isfinite(v))
        throw FormatError("'" + std::string(key) + "' is not a number" +
                          (unit.empty() ? "" : " in" + std::string(unit)) + ": '" + std::string(text) + "'");
    return v;
}

thermo::NamedRegion parse_region_line(std::string_view key, std::string_view text)
{
    const size_t space = text.find(' ');
    const std::string_view kind = text.substr(0, space);
    for (const int k : {LEP3_REGION_SPOT, LEP3_REGION_BOX, LEP3_REGION_LINE}) {
        if (space == std::string_view::npos || kind != thermo::region_kind_name(k))
            continue;
        try {
            return thermo::parse_region(k, text.substr(space + 1), 1);
        } catch (const std::invalid_argument &e) {
            throw FormatError("'" + std::string(key) + "' is not a region: " + e.what());
        }
    }
    throw FormatError("'" + std::string(key) + "' is not 'spot|box|line NAME=X0,Y0[,X1,Y1]': '" + std::string(text) +
                      "'");
}

bool same_region(const thermo::NamedRegion &a, const thermo::NamedRegion &b)
{
    const lep3_region_t &p = a.region, &q = b.region;
    return a.name == b.name && p.kind == q.kind && p.x0 == q.x0 && p.y0 == q.y0 &&
           (p.kind == LEP3_REGION_SPOT || (p.x1 == q.x1 && p.y1 == q.y1));
}

} // namespace

std::string describe_region(const thermo::NamedRegion &n)
{
    const lep3_region_t &r = n.region;
    std::string text(thermo::region_kind_name(r.kind));
    text.append(" ").append(n.name).append("=").append(std::to_string(r.x0)).append(",").append(std::to_string(r.y0));
    if (r.kind != LEP3_REGION_SPOT)
        text.append(",").append(std::to_string(r.x1)).append(",").append(std::to_string(r.y1));
    return text;
}

bool same_object(const lep3_object_params_t &a, const lep3_object_params_t &b)
{
    for (const ObjectLine &l : kObjectLines)
        if (a.*l.field != b.*l.field)
            return false;
    return true;
}

bool is_black_body(const lep3_object_params_t &p)
{
    return p.emissivity == 1 && p.distance_m == 0 && p.window_transmission == 1;
}

bool FileInfo::operator==(const FileInfo &o) const
{
    const bool same_objects =
        object.has_value() == o.object.has_value() && (!object || same_object(*object, *o.object));
    return values == o.values && library_version == o.library_version && firmware_version == o.firmware_version &&
           serial_number == o.serial_number && same_objects &&
           std::equal(regions.begin(), regions.end(), o.regions.begin(), o.regions.end(), same_region);
}

const std::string_view kTemperatureText =
    "T = B / ln(R / (S - O) + F) kelvin for a raw value S and the page's R, B, F, O (B and F are the "
    "library's fixed 1428 and 1), as the library's LEP3_LuxToKelvin computes it: R / (S - O) + F in 32-bit "
    "floats, the logarithm and the division in double precision, T rounded to a 32-bit float. Degrees "
    "Celsius: T - 273.15 in double precision, rounded to a 32-bit float (LEP3_KelvinToCelsius). A value at or "
    "below O has no temperature.";

const std::string_view kCelsiusText =
    "degrees Celsius of the raw recording's pages, one page each: its values through LEP3_LuxToKelvin with the "
    "page's R and O, then LEP3_KelvinToCelsius; NaN throughout a page whose R, B, F, O were unavailable.";

const std::string_view kObjectCelsiusText =
    "degrees Celsius of the objects in the raw recording's pages, one page each: its values through "
    "LEP3_RawToObjectCelsius with the page's R and O and the file's object parameters (NaN where the object's "
    "signal has no temperature); NaN throughout a page whose R, B, F, O were unavailable.";

std::string_view temperature_text(const FileInfo &file)
{
    if (file.values == Values::raw)
        return kTemperatureText;
    return file.object && !is_black_body(*file.object) ? kObjectCelsiusText : kCelsiusText;
}

std::string utc_text(int64_t us)
{
    int64_t secs = us / kMicrosPerSecond;
    int64_t frac = us % kMicrosPerSecond;
    if (frac < 0) {
        frac += kMicrosPerSecond;
        --secs;
    }
    const auto t = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    (void)std::snprintf(buf + n, sizeof buf - n, ".%06" PRId64 "Z", frac);
    return buf;
}

int64_t parse_utc(std::string_view text)
{
    const std::string s(text);
    std::tm tm{};
    const char *rest = strptime(s.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    const std::string_view tail = rest == nullptr ? std::string_view() : std::string_view(rest);
    if (tail.size() != 1 + kFractionDigits + 1 || tail.front() != '.' || tail.back() != 'Z')
        throw FormatError("'" + std::string(kTime) + "' is not a UTC time with microseconds: '" + s + "'");
    const auto frac = parse_unsigned<int64_t>(kTime, tail.substr(1, kFractionDigits));
    int64_t us = 0;
    if (__builtin_mul_overflow(static_cast<int64_t>(timegm(&tm)), kMicrosPerSecond, &us) ||
        __builtin_add_overflow(us, frac, &us))
        throw FormatError("'" + std::string(kTime) + "' is out of range: '" + s + "'");
    return us;
}

bool is_recording_description(std::string_view text)
{
    return text.starts_with(kMarker);
}

std::string describe_page(const PageInfo &page, const FileInfo *file)
{
    std::string out(kMarker);
    out += std::to_string(kFormatVersion) + '\n';
    add_line(out, kFrame, std::to_string(page.frame_number));
    add_line(out, kTime, utc_text(page.host_time_us));
    add_line(out, kCheck, page.check_ok ? kCheckOk : kCheckUnconfirmed);
    char fpa[32] = {};
    if (page.fpa_celsius)
        (void)std::snprintf(fpa, sizeof fpa, "%.2f%s", static_cast<double>(*page.fpa_celsius), kCelsiusUnit.data());
    add_line(out, kFpa, page.fpa_celsius ? std::string_view(fpa) : kUnavailable);
    add_line(out, kRbfoSet, page.rbfo_set);
    const auto word = [&page](uint32_t Rbfo::*w) {
        return page.rbfo ? std::to_string((*page.rbfo).*w) : std::string(kUnavailable);
    };
    add_line(out, kR, word(&Rbfo::r));
    add_line(out, kB, word(&Rbfo::b));
    add_line(out, kF, word(&Rbfo::f));
    add_line(out, kO, word(&Rbfo::o));
    if (file != nullptr) {
        const bool raw = file->values == Values::raw;
        add_line(out, kValues, raw ? kValuesRaw : kValuesCelsius);
        add_line(out, kLibrary, file->library_version);
        add_line(out, kFirmware, firmware_text(file->firmware_version));
        add_line(out, kSerial, serial_text(file->serial_number));
        add_line(out, kTemperature, temperature_text(*file));
        if (file->object)
            for (const ObjectLine &l : kObjectLines)
                add_line(out, l.key, float_text((*file->object).*l.field, l.unit));
        for (size_t i = 0; i < file->regions.size(); ++i)
            add_line(out, std::string(kRegion) + std::to_string(i + 1), describe_region(file->regions[i]));
    }
    return out;
}

Description parse_description(std::string_view text)
{
    if (!is_recording_description(text))
        throw FormatError("its description does not begin with '" + std::string(kMarker) + "'");
    std::map<std::string, std::string, std::less<>> lines;
    text.remove_prefix(std::min(text.size(), text.find('\n') + 1));
    while (!text.empty()) {
        const size_t end = std::min(text.size(), text.find('\n'));
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(text.size(), end + 1));
        const size_t colon = line.find(": ");
        if (colon == std::string_view::npos)
            throw FormatError("a line of its description is not 'Key: value': '" + std::string(line) + "'");
        lines.emplace(line.substr(0, colon), line.substr(colon + 2));
    }
    const auto find = [&lines](std::string_view key) -> std::optional<std::string_view> {
        const auto it = lines.find(key);
        if (it == lines.end())
            return std::nullopt;
        return it->second;
    };
    const auto need = [&find](std::string_view key) {
        const auto v = find(key);
        if (!v)
            throw FormatError("its description has no '" + std::string(key) + "' line");
        return *v;
    };

    Description d;
    d.page.frame_number = parse_unsigned<uint32_t>(kFrame, need(kFrame));
    d.page.host_time_us = parse_utc(need(kTime));
    if (const auto check = find(kCheck)) {
        if (*check != kCheckOk && *check != kCheckUnconfirmed)
            throw FormatError("'" + std::string(kCheck) + "' is neither ok nor not confirmed: '" + std::string(*check) +
                              "'");
        d.page.check_ok = *check == kCheckOk;
    }
    if (const auto fpa = find(kFpa); fpa && *fpa != kUnavailable)
        d.page.fpa_celsius = parse_celsius(*fpa);
    d.page.rbfo_set = std::string(find(kRbfoSet).value_or(""));
    const auto r = find(kR), b = find(kB), f = find(kF), o = find(kO);
    if (r && b && f && o && *r != kUnavailable) {
        d.page.rbfo = Rbfo{parse_unsigned<uint32_t>(kR, *r), parse_unsigned<uint32_t>(kB, *b),
                           parse_unsigned<uint32_t>(kF, *f), parse_unsigned<uint32_t>(kO, *o)};
    }

    if (const auto values = find(kValues)) {
        FileInfo file;
        if (*values == kValuesRaw)
            file.values = Values::raw;
        else if (*values == kValuesCelsius)
            file.values = Values::celsius;
        else
            throw FormatError("'" + std::string(kValues) + "' is neither raw nor celsius: '" + std::string(*values) +
                              "'");
        file.library_version = std::string(find(kLibrary).value_or(kUnavailable));
        file.firmware_version = parse_firmware(find(kFirmware).value_or(kUnavailable));
        file.serial_number = parse_serial(find(kSerial).value_or(kUnavailable));
        // A file written before the object parameters were recorded has none of their lines.
        if (find(kObjectLines[0].key)) {
            lep3_object_params_t p{};
            for (const ObjectLine &l : kObjectLines)
                p.*l.field = parse_float(l.key, need(l.key), l.unit);
            file.object = p;
        }
        for (size_t i = 1;; ++i) {
            const std::string key = std::string(kRegion) + std::to_string(i);
            const auto region = find(key);
            if (!region)
                break;
            file.regions.push_back(parse_region_line(key, *region));
        }
        d.file = file;
    }
    return d;
}

} // namespace lep3::recording
