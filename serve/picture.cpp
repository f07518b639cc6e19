#include "serve/picture.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

#include "hostkit/args.h"
#include "hostkit/frame_pictures.h"
#include "hostkit/png_writer.h"
#include "hostkit/text_format.h"
#include "names/palettes.h"
#include "thermo/alarm.h"

namespace lep3tool::serve {

namespace {

constexpr size_t kPaletteEntries = 256;
// The isotherm's picture, as `lep3 capture --isotherm` draws it.
constexpr uint32_t kGreyPalette = 5; // whitehot
constexpr std::array<uint8_t, 3> kIsothermColour{255, 0, 0};
constexpr float kLowestBand = -100;
constexpr float kHighestBand = 2000;

// The library's automatic range is shared by the whole process: one conversion at a time,
// whichever output makes it.
std::mutex conversion_mutex;

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
    const auto number = lep3::names::palette_by_name(name);
    if (!number) {
        std::string names;
        for (const auto p : lep3::names::kPaletteNames)
            names += (names.empty() ? "" : ", ") + std::string(p);
        throw UsageError("unknown palette '" + name + "'; the palettes are " + names);
    }
    return *number;
}

std::string cache_key(const PictureStyle &style)
{
    std::string key = std::to_string(style.palette) + "/" + style.range.describe();
    if (style.isotherm) {
        char band[64];
        (void)std::snprintf(band, sizeof band, "/%a:%a", static_cast<double>(style.isotherm->first),
                            static_cast<double>(style.isotherm->second));
        key += band;
    }
    return key;
}

} // namespace

PictureStyle parse_picture_style(const std::optional<std::string> &palette, const std::optional<std::string> &range)
{
    PictureStyle style;
    style.palette = palette && !palette->empty() ? palette_named(*palette) : lep3::names::kDefaultPalette;
    if (range && !range->empty()) {
        try {
            style.range = FrameRange::parse(*range);
        } catch (const UsageError &e) {
            // The messages name capture's option; here the range is a query parameter.
            const std::string_view message = e.what();
            throw UsageError(std::string(message.starts_with("--") ? message.substr(2) : message));
        }
    }
    return style;
}

std::pair<float, float> parse_isotherm_band(std::string_view text)
{
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        throw UsageError("isotherm takes LOW:HIGH in degrees, as in 35:40");
    try {
        const double low = lep3::thermo::parse_celsius(text.substr(0, colon), "isotherm");
        const double high = lep3::thermo::parse_celsius(text.substr(colon + 1), "isotherm");
        if (!(low <= high) || low < kLowestBand || high > kHighestBand)
            throw UsageError("isotherm runs from low to high, within -100..2000 C");
        return {static_cast<float>(low), static_cast<float>(high)};
    } catch (const std::invalid_argument &e) {
        throw UsageError(e.what());
    }
}

GreyConverter grey_converter(const ViewFrame &frame, const PictureStyle &style)
{
    if (style.range.mode == FrameRange::Mode::celsius && !frame.rbfo)
        throw UsageError("a range in degrees needs temperatures, and the camera's RBFO parameters could not be read");
    return GreyConverter(style.range, frame.rbfo);
}

ColourFrame colour_frame(const ViewFrame &frame, const PictureStyle &style, GreyConverter &grey)
{
    if (style.isotherm && !frame.has_temperatures())
        throw UsageError("an isotherm needs temperatures, and the camera's RBFO parameters could not be read");
    ColourFrame out;
    out.palette = style.isotherm ? kGreyPalette : style.palette;
    out.rgb.resize(kRgbFrameBytes);
    std::array<uint8_t, kFramePixels> gray8{};
    {
        const std::lock_guard lock(conversion_mutex);
        grey.convert(frame.raw.data(), gray8.data(), out.raw_lo, out.raw_hi);
    }
    Gray8ToRGB24(gray8.data(), out.rgb.data(), out.palette);
    if (style.isotherm) {
        const auto [low, high] = *style.isotherm;
        for (size_t i = 0; i < kFramePixels; ++i)
            if (frame.celsius[i] >= low && frame.celsius[i] <= high)
                std::copy(kIsothermColour.begin(), kIsothermColour.end(),
                          out.rgb.begin() + static_cast<std::ptrdiff_t>(3 * i));
    }
    return out;
}

std::shared_ptr<const Picture> PictureMaker::make(const ViewFrame &frame, const PictureStyle &style)
{
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

    GreyConverter grey = grey_converter(frame, style);
    const ColourFrame colours = colour_frame(frame, style, grey);
    auto picture = std::make_shared<Picture>();
    picture->seq = frame.seq;
    picture->raw_lo = colours.raw_lo;
    picture->raw_hi = colours.raw_hi;
    picture->range_warning = range_miss(frame.raw.data(), picture->raw_lo, picture->raw_hi, style.range.describe());
    picture->png = encode_png_rgb8(colours.rgb, kFrameWidth, kFrameHeight,
                                   colour_picture_text(frame.number, frame.taken, colours.palette, picture->raw_lo,
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

} // namespace lep3tool::serve
