#include "tools/view/picture.h"

#include <openssl/evp.h>

#include <array>
#include <cmath>

#include "tools/args.h"
#include "tools/frame_pictures.h"
#include "tools/palette_names.h"
#include "tools/png_writer.h"
#include "tools/text_format.h"
#include "tools/view/celsius_scale.h"

namespace lep3tool::view {

namespace {

constexpr size_t kPaletteEntries = 256;

std::string base64(const std::string &bytes)
{
    // Four characters for every three bytes, and the terminating zero EVP writes.
    std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                        reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

uint32_t palette_named(const std::string &name)
{
    const auto number = palette_by_name(name);
    if (!number) {
        std::string names;
        for (const auto p : kPaletteNames)
            names += (names.empty() ? "" : ", ") + std::string(p);
        throw UsageError("unknown palette '" + name + "'; the palettes are " + names);
    }
    return *number;
}

// The raw range a picture of this frame uses, as capture's converter takes it.
FrameRange frame_range(const ViewFrame &frame, const ViewRange &range)
{
    switch (range.mode) {
    case ViewRange::Mode::automatic:
    case ViewRange::Mode::held:
        return FrameRange{};
    case ViewRange::Mode::raw:
        return FrameRange{FrameRange::Mode::fixed, range.raw_lo, range.raw_hi};
    case ViewRange::Mode::celsius:
        break;
    }
    if (!frame.scale)
        throw UsageError("a range in degrees needs temperatures, and the camera's RBFO parameters could not be read");
    const auto raw = frame.scale->raw_range(range.celsius_lo, range.celsius_hi);
    if (!raw)
        throw UsageError("no raw value has a temperature from " + range.describe());
    return FrameRange{FrameRange::Mode::fixed, raw->first, raw->second};
}

std::string cache_key(const PictureStyle &style)
{
    return std::to_string(style.palette) + "/" + style.range.describe();
}

} // namespace

ViewRange ViewRange::parse(std::string_view text)
{
    if (text.empty() || (text.back() != 'C' && text.back() != 'c')) {
        FrameRange r;
        try {
            r = FrameRange::parse(text);
        } catch (const UsageError &e) {
            // The messages name capture's option; here the range is a query parameter.
            const std::string_view message = e.what();
            throw UsageError(std::string(message.starts_with("--") ? message.substr(2) : message));
        }
        switch (r.mode) {
        case FrameRange::Mode::automatic:
            return {};
        case FrameRange::Mode::held:
            return ViewRange{Mode::held};
        case FrameRange::Mode::fixed:
            break;
        }
        return ViewRange{Mode::raw, r.min, r.max};
    }
    const std::string_view degrees = text.substr(0, text.size() - 1);
    const size_t colon = degrees.find(':');
    if (colon == std::string_view::npos)
        throw UsageError("a range in degrees is MIN:MAXC, not '" + std::string(text) + "'");
    ViewRange r{Mode::celsius};
    r.celsius_lo = parse_number(degrees.substr(0, colon), "the range's lowest temperature");
    r.celsius_hi = parse_number(degrees.substr(colon + 1), "the range's highest temperature");
    if (!std::isfinite(r.celsius_lo) || !std::isfinite(r.celsius_hi) || r.celsius_lo >= r.celsius_hi)
        throw UsageError("the range's lowest temperature must be below its highest");
    return r;
}

std::string ViewRange::describe() const
{
    switch (mode) {
    case Mode::automatic:
        return "auto";
    case Mode::held:
        return "held";
    case Mode::raw:
        return std::to_string(raw_lo) + ":" + std::to_string(raw_hi);
    case Mode::celsius:
        break;
    }
    return format_text("%g:%gC", celsius_lo, celsius_hi);
}

PictureStyle parse_picture_style(const std::optional<std::string> &palette, const std::optional<std::string> &range)
{
    PictureStyle style;
    style.palette = palette && !palette->empty() ? palette_named(*palette) : kDefaultPalette;
    if (range && !range->empty())
        style.range = ViewRange::parse(*range);
    return style;
}

std::shared_ptr<const Picture> PictureMaker::make(const ViewFrame &frame, const PictureStyle &style)
{
    const FrameRange range = frame_range(frame, style.range);
    const std::string key = cache_key(style);
    const std::lock_guard lock(mutex_);
    if (cached_seq_ == frame.seq) {
        for (const auto &[k, picture] : cache_)
            if (k == key)
                return picture;
    } else if (frame.seq > cached_seq_) {
        cached_seq_ = frame.seq;
        cache_.clear();
    }

    GreyConverter grey(range);
    std::array<uint8_t, kFramePixels> gray8{};
    std::vector<uint8_t> rgb(kRgbFrameBytes);
    auto picture = std::make_shared<Picture>();
    picture->seq = frame.seq;
    grey.convert(frame.raw.data(), gray8.data(), picture->raw_lo, picture->raw_hi);
    Gray8ToRGB24(gray8.data(), rgb.data(), style.palette);
    picture->png = encode_png_rgb8(rgb, kFrameWidth, kFrameHeight,
                                   colour_picture_text(frame.number, frame.taken, style.palette, picture->raw_lo,
                                                       picture->raw_hi, style.range.describe()));
    picture->png_base64 = base64(picture->png);
    if (frame.seq == cached_seq_)
        cache_.emplace_back(key, picture);
    return picture;
}

std::string palette_png(uint32_t palette)
{
    // The colouring works on whole frames: a frame of repeated ramps, of which the first
    // 256 pixels are the bar.
    std::array<uint8_t, kFramePixels> ramp{};
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<uint8_t>(i % kPaletteEntries);
    std::vector<uint8_t> rgb(kRgbFrameBytes);
    Gray8ToRGB24(ramp.data(), rgb.data(), palette);
    rgb.resize(kPaletteEntries * 3);
    return encode_png_rgb8(rgb, kPaletteEntries, 1, {});
}

} // namespace lep3tool::view
