// Video as the bridge streams it: frame packets made of 240 video packets, each a 4-byte
// head and 80 pixels (raw: 2 bytes high byte first; RGB: 3 bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/bridge_sim.h"

namespace lep3::sim {

inline constexpr uint8_t kSync0 = 0xAA;
inline constexpr uint8_t kSync1 = 0x55;
inline constexpr uint8_t kFrameLength = 0xFF; // length byte that announces a frame packet
inline constexpr uint8_t kFrameTag = 0x04;
inline constexpr uint8_t kModeRaw = 0x00;
inline constexpr uint8_t kModeRgb = 0xFF;

inline constexpr int kVideoPackets = 240;
inline constexpr int kPixelsPerVideoPacket = kPixels / kVideoPackets; // 80
inline constexpr int kVideoPacketHead = 4;
inline constexpr int kRawPayload = kPixelsPerVideoPacket * 2;
inline constexpr int kRgbPayload = kPixelsPerVideoPacket * 3;
inline constexpr int kFramePacketHead = 5; // AA 55 FF 04 mode
inline constexpr int kFrameCheckBytes = 1;

// Bytes of video data after the frame packet head.
constexpr int frame_data_bytes(uint8_t mode)
{
    return kVideoPackets * (kVideoPacketHead + (mode == kModeRaw ? kRawPayload : kRgbPayload));
}

// Builds the whole frame packet for sequence number seq into out (resized as needed):
// head, video packets with their heads, check byte. The camera core's values are raw
// (kPixels); an RGB frame is coloured from them, with seq in its first bytes.
void build_frame_packet(uint8_t mode, uint32_t seq, const uint16_t *raw, std::vector<uint8_t> &out);

// The bridge's colouring of a raw frame, with seq stamped into the first four bytes.
void colour_frame(const uint16_t *raw, uint32_t seq, uint8_t *out /* kPixels * 3 */);

// A packet whose check byte happens to be 0xAA would make the host, hunting for the next
// sync pair right after it, take that byte as a packet start and lose the packet that
// follows directly. The bridge keeps the line idle for one byte (0x00) after such a
// packet, so one packet in 256 is not lost to its neighbour's check byte.
inline constexpr uint8_t kIdleByte = 0x00;
inline void append_idle_after_sync_check(std::vector<uint8_t> &packet)
{
    if (!packet.empty() && packet.back() == 0xAA)
        packet.push_back(kIdleByte);
}

} // namespace lep3::sim
