// Declarations shared inside the render subsystem and with the radiometric colouring,
// which looks colours up in the same palette tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "lep3.h"

namespace lep3::render {

// Frame geometry of the camera core.
constexpr size_t kFrameWidth = 160;
constexpr size_t kFrameHeight = 120;
constexpr size_t kFramePixels = kFrameWidth * kFrameHeight; // 19 200
constexpr size_t kRgbBytesPerPixel = 3;
constexpr size_t kRgbFrameBytes = kFramePixels * kRgbBytesPerPixel; // 57 600
constexpr size_t kRawFrameBytes = kFramePixels * sizeof(uint16_t);  // 38 400

// The camera core delivers 14-bit values; a flat frame is scaled against this full scale.
constexpr uint32_t kRawFullScale = 16383;
// Largest value a raw pixel's 16 bits can hold.
constexpr uint16_t kRawDomainMax = 0xFFFF;

// A palette: 256 entries of red, green, blue.
constexpr size_t kPaletteEntries = 256;
constexpr size_t kPaletteBytes = kPaletteEntries * kRgbBytesPerPixel; // 768
// The large palette spans the whole 14-bit raw domain.
constexpr size_t kLargePaletteEntries = 16384;
constexpr size_t kLargePaletteBytes = kLargePaletteEntries * kRgbBytesPerPixel; // 49 152

// Palette numbers accepted by the colourisation functions run from 0 to this value.
constexpr uint32_t kMaxPaletteNumber = 10;

using PaletteView = std::span<const uint8_t, kPaletteBytes>;

// The exported table for a palette number 0..10 (0 fusion, 1 rainbow, 2 globow,
// 3 icefire, 4 ironblack, 5 whitehot, 6 blackhot, 7 rain, 8 iron, 9 greyred,
// 10 grayfusion). The caller has already rejected numbers above 10.
PaletteView palette_by_number(uint32_t palette);

// Colours a 19 200-pixel frame of palette indices: grey value g takes the three bytes of
// palette entry first_entry + (g >> shift), which must lie inside the palette.
void colourise(const uint8_t *gray8, uint8_t *rgb24, PaletteView palette, size_t first_entry = 0, unsigned shift = 0);

// Stretches a raw frame over the range max > min into 8 bits: a value at or above max
// gives 255, one below min gives 0, and one between gives (p - min) * 255 / (max - min)
// truncated.
void stretch_frame(const uint16_t *raw, uint8_t *out, uint32_t max, uint32_t min);

// 3 x 3 median filter over a 160 x 120 8-bit frame; src and dst may be the same buffer.
// Interior pixels take the median of their neighbourhood in src; row 0 and row 119 then
// copy rows 1 and 118, and columns 0 and 159 copy columns 1 and 158. Returns 0.
int medianFilter3x3(const uint8_t *src, uint8_t *dst);

// Fills the eleven exported palette tables, in the initialiser's order, each by the
// generator of the same name.
void fill_exported_palettes();

} // namespace lep3::render
