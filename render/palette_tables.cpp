// The ten sampled colour maps and the generators that copy them. Each map is known at
// every 32nd entry and the last; the entries between are the straight line between the
// two known neighbours, rounded to nearest, built at compile time into read-only data.
#include <array>
#include <cstdint>
#include <cstring>

#include "lep3.h"
#include "render/render_internal.h"

using lep3::render::kPaletteBytes;
using lep3::render::kPaletteEntries;
using lep3::render::kRgbBytesPerPixel;

namespace {

using Palette = std::array<uint8_t, kPaletteBytes>;
using Colour = std::array<int, 3>;

constexpr size_t kKnownStride = 32;
constexpr size_t kKnownRows = 9; // entries 0, 32, ..., 224 and 255
using KnownRows = std::array<Colour, kKnownRows>;

constexpr size_t known_index(size_t row)
{
    return row + 1 < kKnownRows ? row * kKnownStride : kPaletteEntries - 1;
}

constexpr Palette interpolate(const KnownRows &rows)
{
    Palette p{};
    for (size_t row = 0; row + 1 < kKnownRows; ++row) {
        const size_t from = known_index(row);
        const size_t to = known_index(row + 1);
        const int span = static_cast<int>(to - from);
        for (size_t j = from; j <= to; ++j) {
            const int t = static_cast<int>(j - from);
            for (size_t c = 0; c < kRgbBytesPerPixel; ++c) {
                // (a (span - t) + b t) / span, rounded half up; all terms are non-negative.
                const int weighted = rows[row][c] * (span - t) + rows[row + 1][c] * t;
                p[j * kRgbBytesPerPixel + c] = static_cast<uint8_t>((2 * weighted + span) / (2 * span));
            }
        }
    }
    return p;
}

// ironblack's lower half is exact grey falling by 2 per entry, with one extra step
// between entries 63 and 64 so that entry 127 reaches black.
constexpr size_t kIronblackGreyEntries = 128;

constexpr Palette ironblack(const KnownRows &rows)
{
    Palette p = interpolate(rows);
    for (size_t j = 0; j < kIronblackGreyEntries; ++j) {
        const int j2 = 2 * static_cast<int>(j);
        const auto grey = static_cast<uint8_t>(j < kIronblackGreyEntries / 2 ? 255 - j2 : 254 - j2);
        for (size_t c = 0; c < kRgbBytesPerPixel; ++c)
            p[j * kRgbBytesPerPixel + c] = grey;
    }
    return p;
}

constexpr Palette kRainbow = interpolate({{{1, 3, 74},
                                           {0, 61, 154},
                                           {0, 113, 223},
                                           {67, 171, 60},
                                           {212, 215, 3},
                                           {253, 174, 19},
                                           {251, 33, 59},
                                           {251, 101, 112},
                                           {255, 233, 208}}});

constexpr Palette kIronblack = ironblack({{{255, 255, 255},
                                           {191, 191, 191},
                                           {126, 126, 126},
                                           {62, 62, 62},
                                           {0, 0, 9},
                                           {116, 1, 136},
                                           {224, 57, 49},
                                           {247, 171, 13},
                                           {255, 255, 24}}});

constexpr Palette kMaplin = interpolate({{{0, 0, 0},
                                          {0, 0, 220},
                                          {0, 113, 238},
                                          {0, 251, 56},
                                          {194, 189, 0},
                                          {255, 65, 0},
                                          {255, 241, 0},
                                          {255, 255, 161},
                                          {255, 255, 255}}});

constexpr Palette kMaplog = interpolate({{{0, 0, 98},
                                          {203, 178, 0},
                                          {255, 142, 0},
                                          {255, 245, 0},
                                          {255, 255, 74},
                                          {255, 255, 173},
                                          {255, 255, 223},
                                          {255, 255, 249},
                                          {255, 255, 255}}});

constexpr Palette kGlowbow = interpolate({{{0, 0, 0},
                                           {107, 12, 21},
                                           {207, 24, 38},
                                           {231, 59, 19},
                                           {255, 95, 0},
                                           {255, 158, 0},
                                           {255, 219, 6},
                                           {255, 238, 134},
                                           {255, 255, 255}}});

constexpr Palette kGreyred = interpolate({{{235, 199, 185},
                                           {162, 175, 163},
                                           {85, 150, 140},
                                           {49, 124, 117},
                                           {76, 99, 94},
                                           {148, 74, 72},
                                           {222, 49, 49},
                                           {254, 24, 26},
                                           {242, 0, 4}}});

constexpr Palette kIron = interpolate({{{0, 0, 0},
                                        {53, 0, 142},
                                        {144, 0, 156},
                                        {200, 16, 136},
                                        {230, 71, 21},
                                        {245, 124, 0},
                                        {254, 183, 0},
                                        {255, 231, 60},
                                        {255, 255, 249}}});

constexpr Palette kMidgreen = interpolate({{{0, 0, 148},
                                            {0, 30, 255},
                                            {0, 197, 255},
                                            {20, 237, 105},
                                            {72, 226, 0},
                                            {178, 230, 0},
                                            {251, 187, 0},
                                            {255, 91, 0},
                                            {255, 0, 0}}});

constexpr Palette kRain = interpolate({{{0, 0, 0},
                                        {235, 0, 235},
                                        {35, 0, 190},
                                        {0, 203, 239},
                                        {0, 148, 67},
                                        {161, 201, 0},
                                        {226, 124, 0},
                                        {216, 78, 78},
                                        {252, 243, 243}}});

constexpr Palette kYellow = interpolate({{{53, 1, 0},
                                          {54, 32, 0},
                                          {82, 64, 0},
                                          {136, 96, 0},
                                          {195, 128, 0},
                                          {239, 160, 0},
                                          {254, 192, 0},
                                          {244, 224, 0},
                                          {229, 255, 0}}});

void copy_palette(const Palette &table, uint8_t *dst)
{
    std::memcpy(dst, table.data(), table.size());
}

} // namespace

extern "C" LEP3_API void generate_pallette_rainbow_256(uint8_t *dst)
{
    copy_palette(kRainbow, dst);
}
extern "C" LEP3_API void generate_pallette_ironblack_256(uint8_t *dst)
{
    copy_palette(kIronblack, dst);
}
extern "C" LEP3_API void generate_pallette_maplin_256(uint8_t *dst)
{
    copy_palette(kMaplin, dst);
}
extern "C" LEP3_API void generate_pallette_maplog_256(uint8_t *dst)
{
    copy_palette(kMaplog, dst);
}
extern "C" LEP3_API void generate_pallette_glowbow_256(uint8_t *dst)
{
    copy_palette(kGlowbow, dst);
}
extern "C" LEP3_API void generate_pallette_greyred_256(uint8_t *dst)
{
    copy_palette(kGreyred, dst);
}
extern "C" LEP3_API void generate_pallette_iron_256(uint8_t *dst)
{
    copy_palette(kIron, dst);
}
extern "C" LEP3_API void generate_pallette_midgreen_256(uint8_t *dst)
{
    copy_palette(kMidgreen, dst);
}
extern "C" LEP3_API void generate_pallette_rain_256(uint8_t *dst)
{
    copy_palette(kRain, dst);
}
extern "C" LEP3_API void generate_pallette_yellow_256(uint8_t *dst)
{
    copy_palette(kYellow, dst);
}
