// The palettes by name, in the order of their numbers: the one table that the library
// exports (LEP3_PaletteName, which the Python package reads) and every host accepts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace lep3::names {

// Each name is a string literal, so its data() ends with a NUL for C callers.
inline constexpr std::array<std::string_view, 11> kPaletteNames = {
    "fusion",   "rainbow", "globow", "icefire", "ironblack",  "whitehot",
    "blackhot", "rain",    "iron",   "greyred", "grayfusion",
};

inline constexpr uint32_t kDefaultPalette = 4; // ironblack

// Names compare without regard to case: "Iron" is iron.
constexpr bool same_name(std::string_view a, std::string_view b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

// The palette number of a name, in any case, or of a number 0..10 given as text.
constexpr std::optional<uint32_t> palette_by_name(std::string_view name)
{
    for (uint32_t i = 0; i < kPaletteNames.size(); ++i)
        if (same_name(kPaletteNames[i], name))
            return i;
    if (name.size() == 1 && name[0] >= '0' && name[0] <= '9')
        return static_cast<uint32_t>(name[0] - '0');
    if (name == "10")
        return 10;
    return std::nullopt;
}

} // namespace lep3::names
