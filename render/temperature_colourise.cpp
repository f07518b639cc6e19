// Colouring through the middle quarter, the middle half or the whole palette, chosen by
// the scene's temperature span and debounced over the last five frames.
#include <cstdint>
#include <cstdlib>

#include "lep3.h"
#include "render/render_internal.h"

// Signs of the last five spans against the upper threshold, newest first, and the range
// in use. Shared by every caller: one sequence of frames, one thread at a time.
extern "C" {
LEP3_API int32_t span_history[5] = {0, 0, 0, 0, 0};
LEP3_API int32_t span_state = 0;
}

namespace {

enum SpanState : int32_t { kQuarterRange = 0, kHalfRange = 1, kFullRange = 2 };

constexpr int32_t kHistoryLength = 5;
static_assert(sizeof(span_history) / sizeof(span_history[0]) == kHistoryLength);

// Where each range starts in the palette and how far the grey value is shifted down:
// quarter 96 + g / 4, half 64 + g / 2, full g.
struct RangeMap {
    size_t first_entry;
    unsigned shift;
};
constexpr RangeMap kRangeMaps[] = {{96, 2}, {64, 1}, {0, 0}};

int32_t sign_against(int32_t span, int32_t threshold)
{
    return span > threshold ? 1 : (span < threshold ? -1 : 0);
}

// Differences wrap like the 32-bit arithmetic of the camera system rather than overflow.
int32_t wrapping_difference(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

} // namespace

extern "C" LEP3_API int Gray8ToRGB24WithTemp(const uint8_t *gray8, uint8_t *rgb24, uint32_t forceFull, int32_t maxTemp,
                                             int32_t minTemp, int32_t lowSpan, int32_t highSpan, uint32_t palette)
{
    // A rejected palette leaves the history alone, so it does not count towards a decision.
    if (palette > lep3::render::kMaxPaletteNumber)
        return -3;

    const int32_t span = wrapping_difference(maxTemp, minTemp);
    for (int32_t i = kHistoryLength - 1; i > 0; --i)
        span_history[i] = span_history[i - 1];
    span_history[0] = sign_against(span, highSpan);

    int32_t sum = 0;
    for (int32_t sign : span_history)
        sum += sign;

    // Only five agreeing signs decide afresh; a forced call always selects the full range
    // and still counts in the history.
    if (std::abs(sum) >= kHistoryLength) {
        if (forceFull != 0)
            span_state = kFullRange;
        else if (span > lowSpan)
            span_state = span > highSpan ? kFullRange : kHalfRange;
        else
            span_state = kQuarterRange;
    } else if (forceFull != 0) {
        span_state = kFullRange;
    }

    // A host may have written the exported state; anything unknown colours the full range.
    const RangeMap map =
        span_state >= kQuarterRange && span_state <= kHalfRange ? kRangeMaps[span_state] : kRangeMaps[kFullRange];
    lep3::render::colourise(gray8, rgb24, lep3::render::palette_by_number(palette), map.first_entry, map.shift);
    return 0;
}
