// PNG files of captured frames, written through libpng: 8-bit RGB pictures and lossless
// 16-bit greyscale copies of the raw values, each with text chunks that say where the
// numbers came from. A file appears under its name only when it is complete: it is
// written beside it first and renamed at the end. The same bytes can be had in memory,
// for the viewer's downloads.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace lep3tool {

struct PngText {
    std::string key; // Latin-1 keyword of 1 to 79 characters
    std::string value;
};

// rgb: width * height * 3 bytes, red, green, blue per pixel.
// grey: width * height values in host byte order; PNG stores them high byte first.
// significant_bits (1 to 16) is recorded in the file's sBIT chunk, for values that use
// fewer than the 16 bits a sample holds.
// The encoders throw std::runtime_error when libpng fails or an argument is wrong.
std::string encode_png_rgb8(std::span<const uint8_t> rgb, uint32_t width, uint32_t height,
                            std::span<const PngText> text);
std::string encode_png_gray16(std::span<const uint16_t> grey, uint32_t width, uint32_t height,
                              std::span<const PngText> text, int significant_bits = 16);

// Both throw std::runtime_error naming the file when it can't be written.
void write_png_rgb8(const std::string &path, std::span<const uint8_t> rgb, uint32_t width, uint32_t height,
                    std::span<const PngText> text);
void write_png_gray16(const std::string &path, std::span<const uint16_t> grey, uint32_t width, uint32_t height,
                      std::span<const PngText> text, int significant_bits = 16);

} // namespace lep3tool
