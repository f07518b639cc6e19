// The image files a flashed image came from. The bootloader receives only an image file's
// body; the version stands in the file's first line, which stays with the host. After a
// transfer the emulator looks for the file whose body equals what it was given and takes
// the version from that file's first line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lep3::sim {

// Where the library looks for the image file unless told otherwise.
inline constexpr char kStandardImageDir[] = "/tmp/mmcblk0";

// The version in an image file's first line, in hundredths (SAMG55;V2.70 gives 270): the
// line is read and split as the library reads it (at most 31 bytes, the text after the
// first 'V' up to CR), the number rounded to hundredths as the bridge reports it. Nothing
// when the file doesn't begin with the flag or names no version.
std::optional<uint16_t> first_line_version(std::span<const uint8_t> file);

// The version of the image file whose body is `body`, looked for in `places` (image files,
// or directories whose regular files are looked at) and then in the standard directory;
// nothing when no file there holds that body.
std::optional<uint16_t> image_file_version(std::span<const uint8_t> body, const std::vector<std::string> &places);

} // namespace lep3::sim
