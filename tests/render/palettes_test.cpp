#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "lep3.h"

namespace {

using Generator = void (*)(uint8_t *);
using Colour = std::array<int, 3>;
using Table = std::array<uint8_t, 768>;

Table generate(Generator g)
{
    Table p{};
    g(p.data());
    return p;
}

Colour entry(const uint8_t *p, size_t j)
{
    return {p[3 * j], p[3 * j + 1], p[3 * j + 2]};
}
Colour entry(const Table &p, size_t j)
{
    return entry(p.data(), j);
}

TEST(ComputedPalettes, LegEndsAndBreakpointsFollowTheirRules)
{
    struct Expect {
        Generator g;
        size_t j;
        Colour c;
    };
    const Expect cases[] = {
        {generate_pallette_fusion_256, 0, {0, 0, 0}},
        {generate_pallette_fusion_256, 51, {0, 0, 255}},
        {generate_pallette_fusion_256, 52, {0, 5, 255}},
        {generate_pallette_fusion_256, 102, {0, 255, 255}},
        {generate_pallette_fusion_256, 153, {0, 255, 0}},
        {generate_pallette_fusion_256, 203, {250, 255, 0}},
        {generate_pallette_fusion_256, 204, {255, 255, 0}},
        {generate_pallette_fusion_256, 255, {255, 0, 0}},
        {generate_pallette_globow_256, 51, {0, 0, 255}},
        {generate_pallette_globow_256, 102, {255, 0, 255}},
        {generate_pallette_globow_256, 103, {255, 0, 250}},
        {generate_pallette_globow_256, 153, {255, 0, 0}},
        {generate_pallette_globow_256, 204, {255, 255, 0}},
        {generate_pallette_globow_256, 255, {255, 255, 255}},
        {generate_pallette_icefire_256, 224, {224, 224, 224}},
        {generate_pallette_icefire_256, 225, {218, 3, 30}},
        {generate_pallette_icefire_256, 255, {218, 3, 30}},
        {generate_pallette_grayfusion_256, 191, {191, 191, 191}},
        {generate_pallette_grayfusion_256, 192, {0, 0, 255}},
        {generate_pallette_grayfusion_256, 193, {0, 17, 255}},
        {generate_pallette_grayfusion_256, 207, {0, 255, 255}},
        {generate_pallette_grayfusion_256, 208, {0, 255, 255}},
        {generate_pallette_grayfusion_256, 223, {0, 255, 0}},
        {generate_pallette_grayfusion_256, 224, {0, 255, 0}},
        {generate_pallette_grayfusion_256, 239, {255, 255, 0}},
        {generate_pallette_grayfusion_256, 240, {255, 255, 0}},
        {generate_pallette_grayfusion_256, 255, {255, 0, 0}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(entry(generate(c.g), c.j), c.c) << "entry " << c.j;
    const Table white = generate(generate_pallette_whitehot_256);
    const Table black = generate(generate_pallette_blackhot_256);
    for (int j = 0; j < 256; ++j) {
        EXPECT_EQ(entry(white, static_cast<size_t>(j)), (Colour{j, j, j}));
        EXPECT_EQ(entry(black, static_cast<size_t>(j)), (Colour{255 - j, 255 - j, 255 - j}));
    }
}

// The listed rows of each sampled colour map: entries 0, 32, ..., 224 and 255.
struct Sampled {
    const char *name;
    Generator g;
    const char *rows;
};
const Sampled kSampled[] = {
    {"rainbow", generate_pallette_rainbow_256,
     "1 3 74  0 61 154  0 113 223  67 171 60  212 215 3  253 174 19  251 33 59  251 101 112  255 233 208"},
    {"ironblack", generate_pallette_ironblack_256,
     "255 255 255  191 191 191  126 126 126  62 62 62  0 0 9  116 1 136  224 57 49  247 171 13  255 255 24"},
    {"greyred", generate_pallette_greyred_256,
     "235 199 185  162 175 163  85 150 140  49 124 117  76 99 94  148 74 72  222 49 49  254 24 26  242 0 4"},
    {"iron", generate_pallette_iron_256,
     "0 0 0  53 0 142  144 0 156  200 16 136  230 71 21  245 124 0  254 183 0  255 231 60  255 255 249"},
    {"rain", generate_pallette_rain_256,
     "0 0 0  235 0 235  35 0 190  0 203 239  0 148 67  161 201 0  226 124 0  216 78 78  252 243 243"},
    {"maplin", generate_pallette_maplin_256,
     "0 0 0  0 0 220  0 113 238  0 251 56  194 189 0  255 65 0  255 241 0  255 255 161  255 255 255"},
    {"maplog", generate_pallette_maplog_256,
     "0 0 98  203 178 0  255 142 0  255 245 0  255 255 74  255 255 173  255 255 223  255 255 249  255 255 255"},
    {"glowbow", generate_pallette_glowbow_256,
     "0 0 0  107 12 21  207 24 38  231 59 19  255 95 0  255 158 0  255 219 6  255 238 134  255 255 255"},
    {"midgreen", generate_pallette_midgreen_256,
     "0 0 148  0 30 255  0 197 255  20 237 105  72 226 0  178 230 0  251 187 0  255 91 0  255 0 0"},
    {"yellow", generate_pallette_yellow_256,
     "53 1 0  54 32 0  82 64 0  136 96 0  195 128 0  239 160 0  254 192 0  244 224 0  229 255 0"},
};

std::vector<Colour> rows_of(const Sampled &s)
{
    std::istringstream in(s.rows);
    std::vector<Colour> rows(9);
    for (auto &c : rows)
        in >> c[0] >> c[1] >> c[2];
    return rows;
}

size_t row_index(size_t row)
{
    return row < 8 ? row * 32 : 255;
}

TEST(SampledPalettes, ListedRowsAreExactAndEntriesBetweenStayBetweenThem)
{
    for (const auto &s : kSampled) {
        const Table p = generate(s.g);
        const auto rows = rows_of(s);
        for (size_t row = 0; row < rows.size(); ++row)
            EXPECT_EQ(entry(p, row_index(row)), rows[row]) << s.name << " entry " << row_index(row);
        for (size_t row = 0; row + 1 < rows.size(); ++row) {
            for (size_t j = row_index(row); j <= row_index(row + 1); ++j) {
                if (std::string(s.name) == "ironblack" && j < 128)
                    continue; // grey by its own rule
                for (size_t c = 0; c < 3; ++c) {
                    EXPECT_GE(entry(p, j)[c], std::min(rows[row][c], rows[row + 1][c])) << s.name << " " << j;
                    EXPECT_LE(entry(p, j)[c], std::max(rows[row][c], rows[row + 1][c])) << s.name << " " << j;
                }
            }
        }
    }
}

TEST(SampledPalettes, IronblackLowerHalfIsGreyWithOneExtraStepAtTheMiddle)
{
    const Table p = generate(generate_pallette_ironblack_256);
    for (int j = 0; j < 128; ++j) {
        const int grey = j <= 63 ? 255 - 2 * j : 254 - 2 * j; // 63 -> 129, 64 -> 126, 127 -> 0
        EXPECT_EQ(entry(p, static_cast<size_t>(j)), (Colour{grey, grey, grey})) << j;
    }
}

TEST(SampledPalettes, WholeTablesKeepTheirRegularities)
{
    const Table yellow = generate(generate_pallette_yellow_256);
    for (size_t j = 0; j < 256; ++j)
        EXPECT_EQ(entry(yellow, j)[2], 0) << "yellow entry " << j;
    // Channel c never decreases (direction +1) or never increases (-1).
    const auto monotone = [](Generator g, size_t c, int direction) {
        const Table p = generate(g);
        for (size_t j = 1; j < 256; ++j)
            if (direction * (entry(p, j)[c] - entry(p, j - 1)[c]) < 0)
                return false;
        return true;
    };
    EXPECT_TRUE(monotone(generate_pallette_iron_256, 0, +1));
    EXPECT_TRUE(monotone(generate_pallette_iron_256, 1, +1));
    EXPECT_TRUE(monotone(generate_pallette_glowbow_256, 0, +1));
    EXPECT_TRUE(monotone(generate_pallette_maplin_256, 0, +1));
    EXPECT_TRUE(monotone(generate_pallette_greyred_256, 1, -1));
    EXPECT_TRUE(monotone(generate_pallette_greyred_256, 2, -1));
}

// Each generator is given an unaligned pointer inside a guarded buffer, twice over
// different fills: both runs must agree (every byte written) and the guards stay.
TEST(PaletteGenerators, WriteExactlyTheirTableAndNothingOutside)
{
    const Generator all[] = {
        generate_pallette_fusion_256,     generate_pallette_globow_256,    generate_pallette_icefire_256,
        generate_pallette_grayfusion_256, generate_pallette_whitehot_256,  generate_pallette_blackhot_256,
        generate_pallette_rainbow_256,    generate_pallette_ironblack_256, generate_pallette_maplin_256,
        generate_pallette_maplog_256,     generate_pallette_glowbow_256,   generate_pallette_greyred_256,
        generate_pallette_iron_256,       generate_pallette_midgreen_256,  generate_pallette_rain_256,
        generate_pallette_yellow_256,
    };
    const auto run = [](auto generate_into, size_t size, uint8_t fill) {
        constexpr size_t kGuard = 33;
        std::vector<uint8_t> buffer(kGuard + size + kGuard, fill);
        generate_into(buffer.data() + kGuard);
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + kGuard, [fill](uint8_t b) { return b == fill; }));
        EXPECT_TRUE(std::all_of(buffer.end() - kGuard, buffer.end(), [fill](uint8_t b) { return b == fill; }));
        return std::vector<uint8_t>(buffer.begin() + kGuard, buffer.end() - kGuard);
    };
    for (Generator g : all)
        EXPECT_EQ(run(g, 768, 0xA5), run(g, 768, 0x5A));
    const auto large = [](uint8_t *dst) { EXPECT_EQ(generate_pallette_16384(dst), 0); };
    EXPECT_EQ(run(large, 49152, 0xA5), run(large, 49152, 0x5A));
}

TEST(LargePalette, FiveFusionLegsFilledFromTheirTopsAfterFourBlackEntries)
{
    std::vector<uint8_t> p(49152);
    generate_pallette_16384(p.data());
    for (size_t j = 0; j <= 4; ++j)
        EXPECT_EQ(entry(p.data(), j), (Colour{0, 0, 0})) << j;
    EXPECT_EQ(entry(p.data(), 3279), (Colour{0, 0, 255}));
    EXPECT_EQ(entry(p.data(), 3280), (Colour{0, 0, 255}));
    EXPECT_EQ(entry(p.data(), 6556), (Colour{0, 255, 255}));
    EXPECT_EQ(entry(p.data(), 9831), (Colour{0, 255, 0}));
    EXPECT_EQ(entry(p.data(), 13107), (Colour{255, 255, 0}));
    EXPECT_EQ(entry(p.data(), 16383), (Colour{255, 0, 0}));
    EXPECT_EQ(entry(p.data(), 16383 - 1000), (Colour{255, 255 * 1000 / 3275, 0}));
}

} // namespace
