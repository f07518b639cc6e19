#include "serve/view_frame.h"

#include <cmath>

namespace lep3tool::serve {

namespace {

// The centre pixel whose temperature `lep3 capture` reports.
constexpr uint32_t kCentreX = kCentrePixel % kFrameWidth;
constexpr uint32_t kCentreY = kCentrePixel / kFrameWidth;

} // namespace

Spot ViewFrame::spot(uint32_t x, uint32_t y) const
{
    const size_t i = size_t{y} * kFrameWidth + x;
    Spot s{x, y, raw[i], std::nullopt};
    if (has_temperatures() && !std::isnan(celsius[i]))
        s.celsius = celsius[i];
    return s;
}

void measure_frame(ViewFrame &frame)
{
    size_t lo = 0;
    size_t hi = 0;
    if (frame.rbfo) {
        frame.celsius.resize(kFramePixels);
        const SceneTemperatures range =
            frame_celsius(frame.raw.data(), *frame.rbfo, frame.celsius, frame.object ? &*frame.object : nullptr);
        // The first pixel of each extreme; a frame without any temperature keeps pixel 0.
        bool found_lo = false;
        bool found_hi = false;
        for (size_t i = 0; i < kFramePixels && !(found_lo && found_hi); ++i) {
            if (!found_lo && frame.celsius[i] == range.min) {
                lo = i;
                found_lo = true;
            }
            if (!found_hi && frame.celsius[i] == range.max) {
                hi = i;
                found_hi = true;
            }
        }
    } else {
        frame.celsius.clear();
        for (size_t i = 1; i < kFramePixels; ++i) {
            if (frame.raw[i] < frame.raw[lo])
                lo = i;
            if (frame.raw[i] > frame.raw[hi])
                hi = i;
        }
    }
    frame.min = frame.spot(static_cast<uint32_t>(lo % kFrameWidth), static_cast<uint32_t>(lo / kFrameWidth));
    frame.max = frame.spot(static_cast<uint32_t>(hi % kFrameWidth), static_cast<uint32_t>(hi / kFrameWidth));
    frame.centre = frame.spot(kCentreX, kCentreY);
}

} // namespace lep3tool::serve
