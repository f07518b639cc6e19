// Check values the bridge computes: the CRC-8 that ends every application packet and the
// CRC-32 that the bootloader reports over its flash. The emulator keeps its own copies
// so that it checks the library rather than agreeing with it by construction.
#pragma once

#include <cstdint>
#include <span>

namespace lep3::sim {

// Dallas/Maxim CRC-8: reflected polynomial 0x8C, register starting at 0, no final XOR.
uint8_t crc8(std::span<const uint8_t> bytes);

// One step of the reflected CRC-32 (polynomial 0xEDB88320) without any inversion.
uint32_t crc32_update(uint32_t reg, uint8_t byte);
uint32_t crc32(std::span<const uint8_t> bytes, uint32_t reg = 0);

// What the bootloader reports over its flash: the programmed bytes, each XORed with the
// image mask, then erased flash (0xFF) up to flash_size.
inline constexpr uint8_t kImageMask = 0xE5;
uint32_t flash_crc32(std::span<const uint8_t> programmed, uint32_t flash_size);

} // namespace lep3::sim
