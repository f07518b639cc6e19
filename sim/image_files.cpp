#include "sim/image_files.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

namespace lep3::sim {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kFlag = "SAMG55;V";
// The library reads the version from one line of at most 31 characters.
constexpr size_t kLineBuffer = 32;
// The header ends at the first CR LF whose CR lies at offsets 0..255, else after 258 bytes.
constexpr size_t kHeaderSearchLimit = 256;
constexpr size_t kHeaderWithoutEnd = 258;
constexpr double kLargestVersion = 65535;

size_t header_length(std::span<const uint8_t> file)
{
    for (size_t i = 0; i < kHeaderSearchLimit && i + 1 < file.size(); ++i)
        if (file[i] == '\r' && file[i + 1] == '\n')
            return i + 2;
    return kHeaderWithoutEnd;
}

bool begins_with_flag(std::span<const uint8_t> file)
{
    return file.size() >= kFlag.size() && std::equal(kFlag.begin(), kFlag.end(), file.begin());
}

// The version of the file at path when its body is `body`.
std::optional<uint16_t> version_if_body(const fs::path &path, std::span<const uint8_t> body)
{
    std::error_code error;
    if (!fs::is_regular_file(path, error))
        return std::nullopt;
    // Only files of a fitting size are read: a header is 2 to 258 bytes long.
    const std::uintmax_t size = fs::file_size(path, error);
    if (error || size < body.size() + 2 || size > body.size() + kHeaderWithoutEnd)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!begins_with_flag(file) || file.size() != header_length(file) + body.size() ||
        !std::equal(body.begin(), body.end(), file.end() - static_cast<std::ptrdiff_t>(body.size())))
        return std::nullopt;
    return first_line_version(file);
}

std::optional<uint16_t> version_in(const fs::path &place, std::span<const uint8_t> body)
{
    std::error_code error;
    if (!fs::is_directory(place, error))
        return version_if_body(place, body);
    // Stepped with error codes: a listing that fails ends the search, never the emulator.
    for (fs::directory_iterator it(place, error); !error && it != fs::directory_iterator(); it.increment(error))
        if (const auto version = version_if_body(it->path(), body))
            return version;
    return std::nullopt;
}

} // namespace

std::optional<uint16_t> first_line_version(std::span<const uint8_t> file)
{
    if (!begins_with_flag(file))
        return std::nullopt;
    // One line into a zeroed buffer, as fgets reads it: up to and including LF.
    std::array<char, kLineBuffer> line{};
    for (size_t i = 0; i + 1 < line.size() && i < file.size(); ++i) {
        line[i] = static_cast<char>(file[i]);
        if (file[i] == '\n')
            break;
    }
    char *save = nullptr;
    if (strtok_r(line.data(), "V", &save) == nullptr)
        return std::nullopt;
    const char *text = strtok_r(nullptr, "\r", &save);
    if (text == nullptr)
        return std::nullopt;
    // Rounded, where the library cuts: firmware 1.15 reports 115 although 1.15 * 100 is
    // 114.99999999999999 in double precision.
    const double hundredths = std::round(std::strtod(text, nullptr) * 100.0);
    if (!(hundredths >= 0 && hundredths <= kLargestVersion))
        return std::nullopt;
    return static_cast<uint16_t>(hundredths);
}

std::optional<uint16_t> image_file_version(std::span<const uint8_t> body, const std::vector<std::string> &places)
{
    if (body.empty())
        return std::nullopt;
    for (const std::string &place : places)
        if (const auto version = version_in(place, body))
            return version;
    return version_in(kStandardImageDir, body);
}

} // namespace lep3::sim
