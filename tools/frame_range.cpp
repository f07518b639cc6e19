#include "tools/frame_range.h"

#include "lep3.h"
#include "tools/args.h"

namespace lep3tool {

namespace {

constexpr int64_t kRawMax = 65535;

} // namespace

FrameRange FrameRange::parse(std::string_view text)
{
    if (text == "auto")
        return {};
    if (text == "held")
        return FrameRange{Mode::held, 0, 0};
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        throw UsageError("--range takes auto, held or MIN:MAX, not '" + std::string(text) + "'");
    const auto lo = parse_integer(text.substr(0, colon), "--range minimum", 0, kRawMax);
    const auto hi = parse_integer(text.substr(colon + 1), "--range maximum", 0, kRawMax);
    if (lo >= hi)
        throw UsageError("--range minimum must be below its maximum");
    return FrameRange{Mode::fixed, static_cast<uint32_t>(lo), static_cast<uint32_t>(hi)};
}

std::string FrameRange::describe() const
{
    switch (mode) {
    case Mode::automatic:
        return "auto";
    case Mode::held:
        return "held";
    case Mode::fixed:
        break;
    }
    return std::to_string(min) + ":" + std::to_string(max);
}

void GreyConverter::convert(const uint16_t *raw, uint8_t *gray8, uint16_t &used_min, uint16_t &used_max)
{
    if (range_.mode == FrameRange::Mode::fixed || (range_.mode == FrameRange::Mode::held && have_held_)) {
        Gray14ToGray8WithUserSetPalette(raw, gray8, range_.max, range_.min);
        used_min = static_cast<uint16_t>(range_.min);
        used_max = static_cast<uint16_t>(range_.max);
        return;
    }
    // Held mode finds the range in its first frame like automatic mode, then keeps it
    // here rather than in the library's held range, which every converter shares. The
    // library's held conversion is the user-range conversion with that range.
    Gray14ToGray8(raw, gray8, &used_max, &used_min, 0);
    if (range_.mode == FrameRange::Mode::held) {
        range_.min = used_min;
        range_.max = used_max;
        have_held_ = true;
    }
}

} // namespace lep3tool
