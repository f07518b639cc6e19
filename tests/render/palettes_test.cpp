#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "lep3.h"

namespace {

using Generator = void (*)(uint8_t *);
using Colour = std::array<int, 3>;

constexpr size_t kEntries = 256;
constexpr size_t kBytes = kEntries * 3;

std::array<uint8_t, kBytes> generate(Generator g)
{
    std::array<uint8_t, kBytes> p{};
    g(p.data());
    return p;
}

Colour entry(const std::array<uint8_t, kBytes> &p, size_t j)
{
    return {p[3 * j], p[3 * j + 1], p[3 * j + 2]};
}

struct Named {
    const char *name;
    Generator generate;
};

const std::vector<Named> kAllGenerators = {
    {"fusion", generate_pallette_fusion_256},     {"globow", generate_pallette_globow_256},
    {"icefire", generate_pallette_icefire_256},   {"grayfusion", generate_pallette_grayfusion_256},
    {"whitehot", generate_pallette_whitehot_256}, {"blackhot", generate_pallette_blackhot_256},
    {"rainbow", generate_pallette_rainbow_256},   {"ironblack", generate_pallette_ironblack_256},
    {"maplin", generate_pallette_maplin_256},     {"maplog", generate_pallette_maplog_256},
    {"glowbow", generate_pallette_glowbow_256},   {"greyred", generate_pallette_greyred_256},
    {"iron", generate_pallette_iron_256},         {"midgreen", generate_pallette_midgreen_256},
    {"rain", generate_pallette_rain_256},         {"yellow", generate_pallette_yellow_256},
};

TEST(ComputedPalettes, FusionLegEndsAreBlueCyanGreenYellowRed)
{
    const auto p = generate(generate_pallette_fusion_256);
    EXPECT_EQ(entry(p, 0), (Colour{0, 0, 0}));
    EXPECT_EQ(entry(p, 51), (Colour{0, 0, 255}));
    EXPECT_EQ(entry(p, 102), (Colour{0, 255, 255}));
    EXPECT_EQ(entry(p, 153), (Colour{0, 255, 0}));
    EXPECT_EQ(entry(p, 204), (Colour{255, 255, 0}));
    EXPECT_EQ(entry(p, 255), (Colour{255, 0, 0}));
    // Inside a leg the changing channel moves by exactly 5 per entry.
    EXPECT_EQ(entry(p, 52), (Colour{0, 5, 255}));
    EXPECT_EQ(entry(p, 203), (Colour{250, 255, 0}));
}

TEST(ComputedPalettes, GlobowLegEndsAreBlueMagentaRedYellowWhite)
{
    const auto p = generate(generate_pallette_globow_256);
    EXPECT_EQ(entry(p, 51), (Colour{0, 0, 255}));
    EXPECT_EQ(entry(p, 102), (Colour{255, 0, 255}));
    EXPECT_EQ(entry(p, 153), (Colour{255, 0, 0}));
    EXPECT_EQ(entry(p, 204), (Colour{255, 255, 0}));
    EXPECT_EQ(entry(p, 255), (Colour{255, 255, 255}));
    EXPECT_EQ(entry(p, 103), (Colour{255, 0, 250}));
}

TEST(ComputedPalettes, IcefireColoursOnlyTheHottest31Entries)
{
    const auto p = generate(generate_pallette_icefire_256);
    EXPECT_EQ(entry(p, 0), (Colour{0, 0, 0}));
    EXPECT_EQ(entry(p, 224), (Colour{224, 224, 224}));
    for (size_t j = 225; j < kEntries; ++j)
        EXPECT_EQ(entry(p, j), (Colour{218, 3, 30})) << j;
}

TEST(ComputedPalettes, GrayfusionLegsOf16StartRightAfterTheGrey)
{
    const auto p = generate(generate_pallette_grayfusion_256);
    EXPECT_EQ(entry(p, 191), (Colour{191, 191, 191}));
    EXPECT_EQ(entry(p, 192), (Colour{0, 0, 255}));
    EXPECT_EQ(entry(p, 193), (Colour{0, 17, 255}));
    EXPECT_EQ(entry(p, 207), (Colour{0, 255, 255}));
    EXPECT_EQ(entry(p, 208), (Colour{0, 255, 255}));
    EXPECT_EQ(entry(p, 223), (Colour{0, 255, 0}));
    EXPECT_EQ(entry(p, 224), (Colour{0, 255, 0}));
    EXPECT_EQ(entry(p, 239), (Colour{255, 255, 0}));
    EXPECT_EQ(entry(p, 240), (Colour{255, 255, 0}));
    EXPECT_EQ(entry(p, 255), (Colour{255, 0, 0}));
}

TEST(ComputedPalettes, WhitehotAndBlackhotAreOppositeGreyRamps)
{
    const auto white = generate(generate_pallette_whitehot_256);
    const auto black = generate(generate_pallette_blackhot_256);
    for (int j = 0; j < 256; ++j) {
        EXPECT_EQ(entry(white, static_cast<size_t>(j)), (Colour{j, j, j}));
        EXPECT_EQ(entry(black, static_cast<size_t>(j)), (Colour{255 - j, 255 - j, 255 - j}));
    }
}

// Every listed row of the sampled colour maps (entries 0, 32, ..., 224 and 255).
struct KnownRows {
    Generator generate;
    const char *name;
    std::array<Colour, 9> rows;
};

const std::vector<KnownRows> kKnownRows = {
    {generate_pallette_rainbow_256,
     "rainbow",
     {{{1, 3, 74},
       {0, 61, 154},
       {0, 113, 223},
       {67, 171, 60},
       {212, 215, 3},
       {253, 174, 19},
       {251, 33, 59},
       {251, 101, 112},
       {255, 233, 208}}}},
    {generate_pallette_ironblack_256,
     "ironblack",
     {{{255, 255, 255},
       {191, 191, 191},
       {126, 126, 126},
       {62, 62, 62},
       {0, 0, 9},
       {116, 1, 136},
       {224, 57, 49},
       {247, 171, 13},
       {255, 255, 24}}}},
    {generate_pallette_greyred_256,
     "greyred",
     {{{235, 199, 185},
       {162, 175, 163},
       {85, 150, 140},
       {49, 124, 117},
       {76, 99, 94},
       {148, 74, 72},
       {222, 49, 49},
       {254, 24, 26},
       {242, 0, 4}}}},
    {generate_pallette_iron_256,
     "iron",
     {{{0, 0, 0},
       {53, 0, 142},
       {144, 0, 156},
       {200, 16, 136},
       {230, 71, 21},
       {245, 124, 0},
       {254, 183, 0},
       {255, 231, 60},
       {255, 255, 249}}}},
    {generate_pallette_rain_256,
     "rain",
     {{{0, 0, 0},
       {235, 0, 235},
       {35, 0, 190},
       {0, 203, 239},
       {0, 148, 67},
       {161, 201, 0},
       {226, 124, 0},
       {216, 78, 78},
       {252, 243, 243}}}},
    {generate_pallette_maplin_256,
     "maplin",
     {{{0, 0, 0},
       {0, 0, 220},
       {0, 113, 238},
       {0, 251, 56},
       {194, 189, 0},
       {255, 65, 0},
       {255, 241, 0},
       {255, 255, 161},
       {255, 255, 255}}}},
    {generate_pallette_maplog_256,
     "maplog",
     {{{0, 0, 98},
       {203, 178, 0},
       {255, 142, 0},
       {255, 245, 0},
       {255, 255, 74},
       {255, 255, 173},
       {255, 255, 223},
       {255, 255, 249},
       {255, 255, 255}}}},
    {generate_pallette_glowbow_256,
     "glowbow",
     {{{0, 0, 0},
       {107, 12, 21},
       {207, 24, 38},
       {231, 59, 19},
       {255, 95, 0},
       {255, 158, 0},
       {255, 219, 6},
       {255, 238, 134},
       {255, 255, 255}}}},
    {generate_pallette_midgreen_256,
     "midgreen",
     {{{0, 0, 148},
       {0, 30, 255},
       {0, 197, 255},
       {20, 237, 105},
       {72, 226, 0},
       {178, 230, 0},
       {251, 187, 0},
       {255, 91, 0},
       {255, 0, 0}}}},
    {generate_pallette_yellow_256,
     "yellow",
     {{{53, 1, 0},
       {54, 32, 0},
       {82, 64, 0},
       {136, 96, 0},
       {195, 128, 0},
       {239, 160, 0},
       {254, 192, 0},
       {244, 224, 0},
       {229, 255, 0}}}},
};

size_t known_index(size_t row)
{
    return row < 8 ? row * 32 : 255;
}

TEST(SampledPalettes, EveryListedRowIsExact)
{
    for (const auto &known : kKnownRows) {
        const auto p = generate(known.generate);
        for (size_t row = 0; row < known.rows.size(); ++row)
            EXPECT_EQ(entry(p, known_index(row)), known.rows[row]) << known.name << " entry " << known_index(row);
    }
}

TEST(SampledPalettes, EntriesBetweenRowsStayBetweenTheirNeighbours)
{
    for (const auto &known : kKnownRows) {
        const auto p = generate(known.generate);
        for (size_t row = 0; row + 1 < known.rows.size(); ++row) {
            for (size_t j = known_index(row); j <= known_index(row + 1); ++j) {
                if (std::string(known.name) == "ironblack" && j < 128)
                    continue; // grey by its own rule
                for (size_t c = 0; c < 3; ++c) {
                    const int lo = std::min(known.rows[row][c], known.rows[row + 1][c]);
                    const int hi = std::max(known.rows[row][c], known.rows[row + 1][c]);
                    EXPECT_GE(entry(p, j)[c], lo) << known.name << " entry " << j;
                    EXPECT_LE(entry(p, j)[c], hi) << known.name << " entry " << j;
                }
            }
        }
    }
}

TEST(SampledPalettes, IronblackLowerHalfIsGreyWithOneExtraStepAtTheMiddle)
{
    const auto p = generate(generate_pallette_ironblack_256);
    for (int j = 0; j < 128; ++j) {
        const int grey = j <= 63 ? 255 - 2 * j : 254 - 2 * j;
        EXPECT_EQ(entry(p, static_cast<size_t>(j)), (Colour{grey, grey, grey})) << j;
    }
    EXPECT_EQ(entry(p, 63)[0], 129);
    EXPECT_EQ(entry(p, 64)[0], 126);
    EXPECT_EQ(entry(p, 127)[0], 0);
}

// Channel c of the palette never decreases (direction +1) or never increases (-1).
void expect_monotone(Generator g, const char *name, size_t c, int direction)
{
    const auto p = generate(g);
    for (size_t j = 1; j < kEntries; ++j)
        EXPECT_GE(direction * (entry(p, j)[c] - entry(p, j - 1)[c]), 0) << name << " channel " << c << " entry " << j;
}

TEST(SampledPalettes, WholeTablesKeepTheirRegularities)
{
    const auto yellow = generate(generate_pallette_yellow_256);
    for (size_t j = 0; j < kEntries; ++j)
        EXPECT_EQ(entry(yellow, j)[2], 0) << "yellow entry " << j;
    expect_monotone(generate_pallette_iron_256, "iron", 0, +1);
    expect_monotone(generate_pallette_iron_256, "iron", 1, +1);
    expect_monotone(generate_pallette_glowbow_256, "glowbow", 0, +1);
    expect_monotone(generate_pallette_maplin_256, "maplin", 0, +1);
    expect_monotone(generate_pallette_greyred_256, "greyred", 1, -1);
    expect_monotone(generate_pallette_greyred_256, "greyred", 2, -1);
}

// A generator given an unaligned pointer inside a larger guarded buffer.
TEST(PaletteGenerators, WriteExactlyTheirTableAndNothingOutside)
{
    constexpr size_t kGuard = 64;
    constexpr uint8_t kFill = 0xA5;
    for (const auto &g : kAllGenerators) {
        std::vector<uint8_t> buffer(kGuard + kBytes + kGuard + 1, kFill);
        uint8_t *dst = buffer.data() + kGuard + 1;
        g.generate(dst);
        for (size_t i = 0; i < kGuard + 1; ++i)
            ASSERT_EQ(buffer[i], kFill) << g.name << " wrote before its table";
        for (size_t i = kGuard + 1 + kBytes; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], kFill) << g.name << " wrote after its table";
        // Every byte is written: a second run over a different fill gives the same table.
        std::vector<uint8_t> again(kBytes, 0x5A);
        g.generate(again.data());
        EXPECT_TRUE(std::equal(again.begin(), again.end(), dst)) << g.name;
    }
}

TEST(LargePalette, FiveFusionLegsAfterFourBlackEntriesWithinItsBuffer)
{
    constexpr size_t kLarge = size_t{16384} * 3;
    constexpr size_t kGuard = 16;
    constexpr uint8_t kFill = 0xA5;
    std::vector<uint8_t> buffer(kGuard + kLarge + kGuard, kFill);
    uint8_t *p = buffer.data() + kGuard;
    EXPECT_EQ(generate_pallette_16384(p), 0);
    for (size_t i = 0; i < kGuard; ++i) {
        EXPECT_EQ(buffer[i], kFill);
        EXPECT_EQ(buffer[kGuard + kLarge + i], kFill);
    }
    const auto at = [p](size_t j) { return Colour{p[3 * j], p[3 * j + 1], p[3 * j + 2]}; };
    for (size_t j = 0; j <= 4; ++j)
        EXPECT_EQ(at(j), (Colour{0, 0, 0})) << j;
    EXPECT_EQ(at(3279), (Colour{0, 0, 255}));
    EXPECT_EQ(at(3280), (Colour{0, 0, 255}));
    EXPECT_EQ(at(6555), (Colour{0, 255, 255}));
    EXPECT_EQ(at(6556), (Colour{0, 255, 255}));
    EXPECT_EQ(at(9831), (Colour{0, 255, 0}));
    EXPECT_EQ(at(13107), (Colour{255, 255, 0}));
    EXPECT_EQ(at(16383), (Colour{255, 0, 0}));
    // Each leg is filled from its top end: q = floor(255 k / 3275) below the top.
    EXPECT_EQ(at(16383 - 1000), (Colour{255, 255 * 1000 / 3275, 0}));
    EXPECT_EQ(at(3279 - 1), (Colour{0, 0, 255 - 255 / 3275}));
}

} // namespace
