#include "sim/checksums.h"

#include <array>

namespace lep3::sim {

namespace {

constexpr uint8_t kCrc8Poly = 0x8C;
constexpr uint32_t kCrc32Poly = 0xEDB88320u;
constexpr uint8_t kErased = 0xFF;

// Frames run through crc8 at full link speed, so its byte step is a table.
constexpr std::array<uint8_t, 256> make_crc8_table()
{
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        uint8_t reg = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1) ? static_cast<uint8_t>((reg >> 1) ^ kCrc8Poly) : static_cast<uint8_t>(reg >> 1);
        table[i] = reg;
    }
    return table;
}

constexpr auto kCrc8Table = make_crc8_table();

} // namespace

uint8_t crc8(std::span<const uint8_t> bytes)
{
    uint8_t reg = 0;
    for (uint8_t b : bytes)
        reg = kCrc8Table[reg ^ b];
    return reg;
}

uint32_t crc32_update(uint32_t reg, uint8_t byte)
{
    reg ^= byte;
    for (int bit = 0; bit < 8; ++bit)
        reg = (reg & 1) ? (reg >> 1) ^ kCrc32Poly : reg >> 1;
    return reg;
}

uint32_t crc32(std::span<const uint8_t> bytes, uint32_t reg)
{
    for (uint8_t b : bytes)
        reg = crc32_update(reg, b);
    return reg;
}

uint32_t flash_crc32(std::span<const uint8_t> programmed, uint32_t flash_size)
{
    uint32_t reg = 0;
    for (uint8_t b : programmed)
        reg = crc32_update(reg, static_cast<uint8_t>(b ^ kImageMask));
    for (uint64_t i = programmed.size(); i < flash_size; ++i)
        reg = crc32_update(reg, kErased);
    return reg;
}

} // namespace lep3::sim
