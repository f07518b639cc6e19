#include "sim/video.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "sim/checksums.h"

namespace lep3::sim {

namespace {

constexpr uint16_t kPixelMask = 0x3FFF; // 14 significant bits
// The sequence number rides in the first four pixels of row 0, one byte each on top of a
// value inside the wall's own range, so a stamped frame still auto-ranges like a scene.
constexpr int kStampPixels = 4;
constexpr int kStampBase = 7800;

// Scene: a wall near room temperature with gentle stripes and a darker rim, and a warm
// spot (a hand, about 34 degrees C) wandering across it.
constexpr double kBackground = 8000.0;
constexpr double kStripeX = 40.0, kStripePeriodX = 53.0;
constexpr double kStripeY = 30.0, kStripePeriodY = 37.0;
constexpr double kRimFall = 0.02;
constexpr double kSpotPeak = 1500.0;
constexpr double kSpotSigma = 7.0;
constexpr int kSpotReach = 21; // 3 sigma: beyond it the spot adds nothing
constexpr double kSpotSwingX = 55.0, kSpotRateX = 0.07;
constexpr double kSpotSwingY = 35.0, kSpotRateY = 0.05, kSpotPhaseY = 1.0;

// RGB colouring of the raw scene, and where byte pairs AA 55 are planted in it so
// that RGB frames carry sync-like data too.
constexpr double kRgbLow = 7600.0, kRgbHigh = 9700.0;
constexpr int kMarkEveryX = 40, kMarkAtX = 13, kMarkEveryY = 10, kMarkAtY = 4;

const std::array<uint16_t, kPixels> &background()
{
    static const std::array<uint16_t, kPixels> scene = [] {
        std::array<uint16_t, kPixels> px{};
        const double cx = (kWidth - 1) / 2.0, cy = (kHeight - 1) / 2.0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                const double v = kBackground + kStripeX * std::sin(2 * std::numbers::pi * x / kStripePeriodX) +
                                 kStripeY * std::cos(2 * std::numbers::pi * y / kStripePeriodY) - kRimFall * r2;
                px[y * kWidth + x] = static_cast<uint16_t>(std::lround(v));
            }
        }
        return px;
    }();
    return scene;
}

void add_spot(uint32_t seq, uint16_t *out)
{
    const double sx = (kWidth - 1) / 2.0 + kSpotSwingX * std::sin(seq * kSpotRateX);
    const double sy = (kHeight - 1) / 2.0 + kSpotSwingY * std::sin(seq * kSpotRateY + kSpotPhaseY);
    const int x0 = std::max(0, static_cast<int>(sx) - kSpotReach),
              x1 = std::min(kWidth - 1, static_cast<int>(sx) + kSpotReach);
    const int y0 = std::max(0, static_cast<int>(sy) - kSpotReach),
              y1 = std::min(kHeight - 1, static_cast<int>(sy) + kSpotReach);
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            const double d2 = (x - sx) * (x - sx) + (y - sy) * (y - sy);
            const double v = out[y * kWidth + x] + kSpotPeak * std::exp(-d2 / (2 * kSpotSigma * kSpotSigma));
            out[y * kWidth + x] = static_cast<uint16_t>(std::min<long>(std::lround(v), kPixelMask));
        }
    }
}

uint8_t ramp(double t)
{
    return static_cast<uint8_t>(std::lround(255.0 * std::clamp(t, 0.0, 1.0)));
}

// Video packet head: a marker pair, the packet number and a check over the payload.
void put_video_head(uint8_t *head, int number, const uint8_t *payload, int payload_bytes)
{
    head[0] = kSync0;
    head[1] = kSync1;
    head[2] = static_cast<uint8_t>(number);
    head[3] = crc8({payload, static_cast<size_t>(payload_bytes)});
}

} // namespace

void BridgeSim::raw_frame(uint32_t seq, uint16_t *out)
{
    std::copy(background().begin(), background().end(), out);
    add_spot(seq, out);
    for (int k = 0; k < kStampPixels; ++k)
        out[k] = static_cast<uint16_t>(kStampBase + ((seq >> (8 * k)) & 0xFF));
}

void BridgeSim::rgb_frame(uint32_t seq, uint8_t *out)
{
    std::array<uint16_t, kPixels> raw;
    raw_frame(seq, raw.data());
    colour_frame(raw.data(), seq, out);
}

void colour_frame(const uint16_t *raw, uint32_t seq, uint8_t *out)
{
    for (size_t i = 0; i < kPixels; ++i) {
        const double t = (raw[i] - kRgbLow) / (kRgbHigh - kRgbLow);
        uint8_t *p = out + 3 * i;
        p[0] = ramp(3 * t);
        p[1] = ramp(3 * t - 1);
        p[2] = ramp(3 * t - 2 + 0.4 * (1 - t));
        const auto x = static_cast<int>(i % kWidth), y = static_cast<int>(i / kWidth);
        if (x % kMarkEveryX == kMarkAtX && y % kMarkEveryY == kMarkAtY) {
            p[0] = kSync0;
            p[1] = kSync1;
        }
    }
    for (int b = 0; b < 4; ++b)
        out[b] = static_cast<uint8_t>(seq >> (8 * b));
}

uint32_t BridgeSim::stamp_of_raw(const uint16_t *pixels)
{
    uint32_t seq = 0;
    for (int k = 0; k < kStampPixels; ++k)
        seq |= static_cast<uint32_t>((pixels[k] - kStampBase) & 0xFF) << (8 * k);
    return seq;
}

uint32_t BridgeSim::stamp_of_rgb(const uint8_t *rgb)
{
    return rgb[0] | rgb[1] << 8 | rgb[2] << 16 | static_cast<uint32_t>(rgb[3]) << 24;
}

void build_frame_packet(uint8_t mode, uint32_t seq, const uint16_t *pixels, std::vector<uint8_t> &out)
{
    const bool raw = mode == kModeRaw;
    const int payload = raw ? kRawPayload : kRgbPayload;
    out.resize(kFramePacketHead + frame_data_bytes(mode) + kFrameCheckBytes);
    uint8_t *p = out.data();
    *p++ = kSync0;
    *p++ = kSync1;
    *p++ = kFrameLength;
    *p++ = kFrameTag;
    *p++ = mode;

    std::array<uint8_t, size_t{kPixels} * 3> rgb;
    if (!raw)
        colour_frame(pixels, seq, rgb.data());

    for (int k = 0; k < kVideoPackets; ++k) {
        uint8_t *head = p;
        uint8_t *body = p + kVideoPacketHead;
        if (raw) {
            for (size_t i = 0; i < kPixelsPerVideoPacket; ++i) {
                const uint16_t v = pixels[size_t{kPixelsPerVideoPacket} * k + i];
                body[2 * i] = static_cast<uint8_t>(v >> 8);
                body[2 * i + 1] = static_cast<uint8_t>(v);
            }
        } else {
            std::copy_n(rgb.data() + size_t{kRgbPayload} * k, kRgbPayload, body);
        }
        put_video_head(head, k, body, payload);
        p = body + payload;
    }
    *p = crc8({out.data(), out.size() - kFrameCheckBytes});
    append_idle_after_sync_check(out);
}

} // namespace lep3::sim
