// Firmware versions as the bridge shows them. The bridge reports its version in hundredths
// (262 is "2.62"); an image file names its version in its first line ("SAMG55;V1.15" is
// 1.15). The library's own reading of an image's version goes through a binary fraction
// and truncates (1.15 reads as 114), so the tool reads the text itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lep3tool {

// "2.62" for 262.
std::string version_text(uint32_t hundredths);

// The version named by an image file's first line, in hundredths, read digit by digit
// (a third decimal is ignored). Throws std::runtime_error naming the file when it can't be
// read or is no firmware image.
uint32_t image_file_version(const std::string &path);

// The same, from the first line's text.
bool parse_image_version(std::string_view first_line, uint32_t &hundredths);

} // namespace lep3tool
