#include "hostkit/firmware_version.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "hostkit/text_format.h"

namespace lep3tool {

namespace {

// An image file's first line: this flag, then the version, then CR LF.
constexpr std::string_view kImageFlag = "SAMG55;V";
constexpr size_t kFirstLineLimit = 64;
constexpr uint32_t kLargestMajor = 1000;

bool digit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

std::string version_text(uint32_t hundredths)
{
    return format_text("%u.%02u", hundredths / 100, hundredths % 100);
}

bool parse_image_version(std::string_view line, uint32_t &hundredths)
{
    if (line.substr(0, kImageFlag.size()) != kImageFlag)
        return false;
    line.remove_prefix(kImageFlag.size());
    uint32_t major = 0;
    size_t i = 0;
    for (; i < line.size() && digit(line[i]) && major < kLargestMajor; ++i)
        major = major * 10 + static_cast<uint32_t>(line[i] - '0');
    if (i == 0)
        return false;
    uint32_t fraction = 0;
    if (i < line.size() && line[i] == '.') {
        ++i;
        for (uint32_t scale = 10; scale > 0 && i < line.size() && digit(line[i]); ++i, scale /= 10)
            fraction += scale * static_cast<uint32_t>(line[i] - '0');
    }
    hundredths = major * 100 + fraction;
    return true;
}

uint32_t image_file_version(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    std::string line(kFirstLineLimit, '\0');
    in.read(line.data(), static_cast<std::streamsize>(line.size()));
    line.resize(static_cast<size_t>(in.gcount()));
    uint32_t version = 0;
    if (!parse_image_version(line, version))
        throw std::runtime_error(path + " is not a firmware image: its first line is not \"" + std::string(kImageFlag) +
                                 "\" and a version, such as SAMG55;V1.15");
    return version;
}

} // namespace lep3tool
