// The computed palettes, the large 16 384-entry palette, and the eleven exported tables
// that the initialiser fills and the colourisation functions read.
#include <array>
#include <cstdint>
#include <span>

#include "lep3.h"
#include "render/render_internal.h"

using lep3::render::kLargePaletteBytes;
using lep3::render::kPaletteBytes;
using lep3::render::kPaletteEntries;
using lep3::render::kRgbBytesPerPixel;

extern "C" {
LEP3_API uint8_t RGB24_pallette_fusion_256[768];
LEP3_API uint8_t RGB24_pallette_rainbow_256[768];
LEP3_API uint8_t RGB24_pallette_globow_256[768];
LEP3_API uint8_t RGB24_pallette_icefire_256[768];
LEP3_API uint8_t RGB24_pallette_ironblack_256[768];
LEP3_API uint8_t RGB24_pallette_whitehot_256[768];
LEP3_API uint8_t RGB24_pallette_blackhot_256[768];
LEP3_API uint8_t RGB24_pallette_rain_256[768];
LEP3_API uint8_t RGB24_pallette_iron_256[768];
LEP3_API uint8_t RGB24_pallette_greyred_256[768];
LEP3_API uint8_t RGB24_pallette_grayfusion_256[768];
}

static_assert(sizeof(RGB24_pallette_fusion_256) == kPaletteBytes);

namespace {

struct Rgb {
    int r;
    int g;
    int b;
};

void put(uint8_t *dst, size_t index, Rgb c)
{
    uint8_t *p = dst + index * kRgbBytesPerPixel;
    p[0] = static_cast<uint8_t>(c.r);
    p[1] = static_cast<uint8_t>(c.g);
    p[2] = static_cast<uint8_t>(c.b);
}

// Fills all 256 entries of dst from a rule mapping the entry index to a colour.
template <typename Rule> void fill_palette(uint8_t *dst, Rule rule)
{
    for (size_t j = 0; j < kPaletteEntries; ++j)
        put(dst, j, rule(static_cast<int>(j)));
}

// Both five-leg palettes climb in legs of 51 entries with steps of 5; the leg ends
// belong to both neighbouring legs and agree there.
constexpr int kLegLength = 51;
constexpr int kLegStep = 5;

Rgb fusion_entry(int j)
{
    if (j <= kLegLength) // black to blue
        return {0, 0, kLegStep * j};
    if (j <= 2 * kLegLength) // blue to cyan
        return {0, kLegStep * (j - kLegLength), 255};
    if (j <= 3 * kLegLength) // cyan to green
        return {0, 255, 255 - kLegStep * (j - 2 * kLegLength)};
    if (j <= 4 * kLegLength) // green to yellow
        return {kLegStep * (j - 3 * kLegLength), 255, 0};
    return {255, 255 - kLegStep * (j - 4 * kLegLength), 0}; // yellow to red
}

Rgb globow_entry(int j)
{
    if (j <= kLegLength) // black to blue
        return {0, 0, kLegStep * j};
    if (j <= 2 * kLegLength) // blue to magenta
        return {kLegStep * (j - kLegLength), 0, 255};
    if (j <= 3 * kLegLength) // magenta to red
        return {255, 0, 255 - kLegStep * (j - 2 * kLegLength)};
    if (j <= 4 * kLegLength) // red to yellow
        return {255, kLegStep * (j - 3 * kLegLength), 0};
    return {255, 255, kLegStep * (j - 4 * kLegLength)}; // yellow to white
}

// icefire: grey up to here, one warning colour above.
constexpr int kIcefireLastGrey = 224;
constexpr Rgb kIcefireHot = {218, 3, 30};

// grayfusion: grey up to here, then four legs of 16 entries climbing by 17.
constexpr int kGrayfusionLastGrey = 191;
constexpr int kShortLegLength = 16;
constexpr int kShortLegStep = 17;

Rgb grayfusion_entry(int j)
{
    if (j <= kGrayfusionLastGrey)
        return {j, j, j};
    const int leg = (j - kGrayfusionLastGrey - 1) / kShortLegLength;
    const int t = kShortLegStep * ((j - kGrayfusionLastGrey - 1) % kShortLegLength);
    switch (leg) {
    case 0: // blue to cyan
        return {0, t, 255};
    case 1: // cyan to green
        return {0, 255, 255 - t};
    case 2: // green to yellow
        return {t, 255, 0};
    default: // yellow to red
        return {255, 255 - t, 0};
    }
}

// The large palette: four black entries, then the five fusion legs of 3 276 entries
// each, every leg filled from its top end downwards.
constexpr int kLargeLegLength = 3276;
constexpr int kLargeLegTops[] = {3279, 6555, 9831, 13107, 16383};

} // namespace

extern "C" LEP3_API void generate_pallette_fusion_256(uint8_t *dst)
{
    fill_palette(dst, fusion_entry);
}

extern "C" LEP3_API void generate_pallette_globow_256(uint8_t *dst)
{
    fill_palette(dst, globow_entry);
}

extern "C" LEP3_API void generate_pallette_icefire_256(uint8_t *dst)
{
    fill_palette(dst, [](int j) { return j <= kIcefireLastGrey ? Rgb{j, j, j} : kIcefireHot; });
}

extern "C" LEP3_API void generate_pallette_grayfusion_256(uint8_t *dst)
{
    fill_palette(dst, grayfusion_entry);
}

extern "C" LEP3_API void generate_pallette_whitehot_256(uint8_t *dst)
{
    fill_palette(dst, [](int j) { return Rgb{j, j, j}; });
}

extern "C" LEP3_API void generate_pallette_blackhot_256(uint8_t *dst)
{
    fill_palette(dst, [](int j) { return Rgb{255 - j, 255 - j, 255 - j}; });
}

extern "C" LEP3_API int generate_pallette_16384(uint8_t *dst)
{
    constexpr int kBlackEntries = 4;
    for (int i = 0; i < kBlackEntries; ++i)
        put(dst, static_cast<size_t>(i), {0, 0, 0});
    for (int k = 0; k < kLargeLegLength; ++k) {
        const int q = 255 * k / (kLargeLegLength - 1);
        const auto at = [k](int top) { return static_cast<size_t>(top - k); };
        put(dst, at(kLargeLegTops[0]), {0, 0, 255 - q});
        put(dst, at(kLargeLegTops[1]), {0, 255 - q, 255});
        put(dst, at(kLargeLegTops[2]), {0, 255, q});
        put(dst, at(kLargeLegTops[3]), {255 - q, 255, 0});
        put(dst, at(kLargeLegTops[4]), {255, q, 0});
    }
    static_assert((kLargeLegTops[4] + 1) * kRgbBytesPerPixel == kLargePaletteBytes);
    return 0;
}

namespace lep3::render {

PaletteView palette_by_number(uint32_t palette)
{
    static constexpr std::array<const uint8_t *, kMaxPaletteNumber + 1> kByNumber = {
        RGB24_pallette_fusion_256,   RGB24_pallette_rainbow_256,    RGB24_pallette_globow_256,
        RGB24_pallette_icefire_256,  RGB24_pallette_ironblack_256,  RGB24_pallette_whitehot_256,
        RGB24_pallette_blackhot_256, RGB24_pallette_rain_256,       RGB24_pallette_iron_256,
        RGB24_pallette_greyred_256,  RGB24_pallette_grayfusion_256,
    };
    return PaletteView(kByNumber[palette], kPaletteBytes);
}

} // namespace lep3::render

namespace lep3::render {

void fill_exported_palettes()
{
    generate_pallette_fusion_256(RGB24_pallette_fusion_256);
    generate_pallette_icefire_256(RGB24_pallette_icefire_256);
    generate_pallette_rainbow_256(RGB24_pallette_rainbow_256);
    generate_pallette_ironblack_256(RGB24_pallette_ironblack_256);
    generate_pallette_grayfusion_256(RGB24_pallette_grayfusion_256);
    generate_pallette_whitehot_256(RGB24_pallette_whitehot_256);
    generate_pallette_blackhot_256(RGB24_pallette_blackhot_256);
    generate_pallette_globow_256(RGB24_pallette_globow_256);
    generate_pallette_greyred_256(RGB24_pallette_greyred_256);
    generate_pallette_iron_256(RGB24_pallette_iron_256);
    generate_pallette_rain_256(RGB24_pallette_rain_256);
}

} // namespace lep3::render
