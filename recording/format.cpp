#include "recording/format.h"

#include <cerrno>
#include <charconv>
#include <cinttypes>
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

} // namespace

const std::string_view kTemperatureText =
    "T = B / ln(R / (S - O) + F) kelvin for a raw value S and the page's R, B, F, O (B and F are the "
    "library's fixed 1428 and 1), as the library's LEP3_LuxToKelvin computes it: R / (S - O) + F in 32-bit "
    "floats, the logarithm and the division in double precision, T rounded to a 32-bit float. Degrees "
    "Celsius: T - 273.15 in double precision, rounded to a 32-bit float (LEP3_KelvinToCelsius). A value at or "
    "below O has no temperature.";

const std::string_view kCelsiusText =
    "degrees Celsius of the raw recording's pages, one page each: its values through LEP3_LuxToKelvin with the "
    "page's R and O, then LEP3_KelvinToCelsius; NaN throughout a page whose R, B, F, O were unavailable.";

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
        add_line(out, kTemperature, raw ? kTemperatureText : kCelsiusText);
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
        d.file = file;
    }
    return d;
}

} // namespace lep3::recording
