// The scenes every benchmark measures on: a warm blob on a gradient background with sensor
// noise (about 1 500 raw counts from coldest to hottest), and the byte stream of RGB and raw
// frame packets as the bridge sends them.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "link/link_internal.h"
#include "sim/bridge_sim.h"

namespace lep3::bench {

inline const std::vector<uint16_t> &scene()
{
    static const std::vector<uint16_t> frame = [] {
        std::vector<uint16_t> f(lep3::link::kPixels);
        std::mt19937 rng(1);
        std::normal_distribution<double> noise(0.0, 12.0);
        for (int y = 0; y < lep3::link::kFrameHeight; ++y) {
            for (int x = 0; x < lep3::link::kFrameWidth; ++x) {
                const double dx = x - 90.0;
                const double dy = y - 55.0;
                const double blob = 1100.0 * std::exp(-(dx * dx + dy * dy) / 600.0);
                f[static_cast<size_t>(y * lep3::link::kFrameWidth + x)] =
                    static_cast<uint16_t>(7800.0 + 2.0 * y + blob + noise(rng));
            }
        }
        return f;
    }();
    return frame;
}

// One frame packet as the bridge sends it: head, 240 video packets of a 4-byte head and
// their pixel bytes, and the check byte. An RGB frame shows the emulator's picture number seq,
// a raw frame the scene.
inline std::vector<uint8_t> frame_packet(bool rgb, uint32_t seq)
{
    std::vector<uint8_t> pixels(rgb ? lep3::link::kRgbFrameBytes : lep3::link::kRawFrameBytes);
    if (rgb) {
        lep3::sim::BridgeSim::rgb_frame(seq, pixels.data());
    } else {
        const auto &raw = scene();
        for (size_t p = 0; p < raw.size(); ++p) {
            pixels[2 * p] = static_cast<uint8_t>(raw[p] >> 8);
            pixels[2 * p + 1] = static_cast<uint8_t>(raw[p]);
        }
    }
    const size_t payload = rgb ? lep3::link::kRgbPayload : lep3::link::kRawPayload;
    std::vector<uint8_t> p{lep3::link::kSync0, lep3::link::kSync1, lep3::link::kFrameLength, lep3::link::kFrameTag,
                           rgb ? lep3::link::kModeRgb : lep3::link::kModeRaw};
    for (int k = 0; k < lep3::link::kVideoPackets; ++k) {
        p.insert(p.end(), {0x00, static_cast<uint8_t>(k), 0x00, 0x00});
        const auto *row = pixels.data() + static_cast<size_t>(k) * payload;
        p.insert(p.end(), row, row + payload);
    }
    p.push_back(packet_crc8(p.data(), p.size()));
    return p;
}

} // namespace lep3::bench
