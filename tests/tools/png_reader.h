// Decodes PNG files with libpng, so tests check what any image viewer would read.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lep3::test {

struct DecodedPng {
    uint32_t width = 0;
    uint32_t height = 0;
    int bit_depth = 0;
    int colour_type = 0;
    std::vector<uint16_t> samples; // every sample in row order, 16-bit ones in host order
    std::map<std::string, std::string> text;
};

// Throws std::runtime_error when the file is missing or not a valid PNG.
DecodedPng read_png(const std::string &path);

} // namespace lep3::test
