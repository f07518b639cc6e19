// Byte streams as the bridge sends them, built independently of the parser under test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace lep3::test {

inline constexpr int kVideoPackets = 240;
inline constexpr int kHead = 4;

// AA 55 L idHi idLo type data... check, with L = 3 + data size.
inline std::vector<uint8_t> reply_packet(uint16_t id, uint8_t type, std::span<const uint8_t> data, uint8_t check = 0x5A)
{
    std::vector<uint8_t> p(6 + data.size() + 1);
    p[0] = 0xAA;
    p[1] = 0x55;
    p[2] = static_cast<uint8_t>(3 + data.size());
    p[3] = static_cast<uint8_t>(id >> 8);
    p[4] = static_cast<uint8_t>(id & 0xFF);
    p[5] = type;
    std::copy(data.begin(), data.end(), p.begin() + 6);
    p.back() = check;
    return p;
}

// AA 55 FF 04 00, then 240 video packets of a 4-byte head and 80 pixels high byte first.
inline std::vector<uint8_t> raw_frame_packet(std::span<const uint16_t> pixels /* 19 200 */)
{
    std::vector<uint8_t> p{0xAA, 0x55, 0xFF, 0x04, 0x00};
    for (int k = 0; k < kVideoPackets; ++k) {
        // A head with the packet number, as a camera core numbers its video packets.
        p.insert(p.end(), {static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k), 0xAA, 0x55});
        for (int i = 0; i < 80; ++i) {
            const uint16_t v = pixels[static_cast<size_t>(k * 80 + i)];
            p.push_back(static_cast<uint8_t>(v >> 8));
            p.push_back(static_cast<uint8_t>(v & 0xFF));
        }
    }
    p.push_back(0x00); // a check byte the parser passes over
    return p;
}

// AA 55 FF 04 FF, then 240 video packets of a 4-byte head and 80 pixels of 3 bytes.
inline std::vector<uint8_t> rgb_frame_packet(std::span<const uint8_t> rgb /* 57 600 */)
{
    std::vector<uint8_t> p{0xAA, 0x55, 0xFF, 0x04, 0xFF};
    for (int k = 0; k < kVideoPackets; ++k) {
        p.insert(p.end(), {static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k), 0x00, 0x00});
        const auto *row = rgb.data() + static_cast<size_t>(k) * 240;
        p.insert(p.end(), row, row + 240);
    }
    p.push_back(0x00);
    return p;
}

// Pixels that exercise the whole 16-bit range and include AA 55 pairs in the data.
inline std::vector<uint16_t> patterned_raw(uint32_t seed)
{
    std::vector<uint16_t> px(19200);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<uint16_t>(i % 7 == 0 ? 0xAA55 : (i * 2654435761U + seed) >> 7);
    return px;
}

inline std::vector<uint8_t> patterned_rgb(uint32_t seed)
{
    std::vector<uint8_t> px(57600);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<uint8_t>(i % 5 == 0 ? (i % 2 == 0 ? 0xAA : 0x55) : (i * 40503U + seed) >> 3);
    return px;
}

} // namespace lep3::test
