// Colouring an 8-bit frame through a palette table.
#include <array>
#include <cstdint>
#include <cstring>

#include "lep3.h"
#include "render/render_internal.h"

namespace lep3::render {

void colourise(const uint8_t *gray8, uint8_t *rgb24, PaletteView palette, size_t first_entry, unsigned shift)
{
    // Each entry padded to four bytes, so a pixel is one 4-byte load and one 4-byte store
    // at its 3-byte position; the fourth byte is overwritten by the next pixel. The last
    // pixel gets exactly three bytes so nothing is written past the frame.
    constexpr size_t kPadded = 4;
    std::array<uint8_t, kPaletteEntries * kPadded> padded{};
    for (size_t g = 0; g < kPaletteEntries; ++g)
        std::memcpy(&padded[g * kPadded], &palette[(first_entry + (g >> shift)) * kRgbBytesPerPixel],
                    kRgbBytesPerPixel);

    // Unrolled, the loop is the three moves a pixel needs and little else.
    constexpr size_t kLast = kFramePixels - 1;
#pragma GCC unroll 8
    for (size_t i = 0; i < kLast; ++i)
        std::memcpy(rgb24 + i * kRgbBytesPerPixel, &padded[gray8[i] * kPadded], kPadded);
    std::memcpy(rgb24 + kLast * kRgbBytesPerPixel, &padded[gray8[kLast] * kPadded], kRgbBytesPerPixel);
}

} // namespace lep3::render

extern "C" LEP3_API int Gray8ToRGB24(const uint8_t *gray8, uint8_t *rgb24, uint32_t palette)
{
    if (palette > lep3::render::kMaxPaletteNumber)
        return -3;
    lep3::render::colourise(gray8, rgb24, lep3::render::palette_by_number(palette));
    return 0;
}
