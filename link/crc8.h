// The packet check byte's CRC-8 (Dallas/Maxim: reflected polynomial 0x8C, register
// starting at 0, no final XOR) as a table of one step per byte, shared by packet_crc8 and
// the parser, which runs it over every packet byte as it passes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace lep3::link {

inline constexpr uint8_t kCrc8Polynomial = 0x8C;

// One table entry per register value: the eight shifts of the bitwise definition.
constexpr std::array<uint8_t, 256> make_crc8_table()
{
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        auto reg = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1U) != 0 ? static_cast<uint8_t>((reg >> 1) ^ kCrc8Polynomial) : static_cast<uint8_t>(reg >> 1);
        table[i] = reg;
    }
    return table;
}

inline constexpr std::array<uint8_t, 256> kCrc8Table = make_crc8_table();

// The register after one more byte.
inline uint8_t crc8_step(uint8_t reg, uint8_t byte)
{
    return kCrc8Table[reg ^ byte];
}

// The register after a run of bytes.
inline uint8_t crc8_run(uint8_t reg, const uint8_t *bytes, size_t len)
{
    size_t i = 0;
    // Eight steps per turn: each depends on the last, so only the loop's own test is saved.
    for (; i + 8 <= len; i += 8) {
        reg = crc8_step(reg, bytes[i]);
        reg = crc8_step(reg, bytes[i + 1]);
        reg = crc8_step(reg, bytes[i + 2]);
        reg = crc8_step(reg, bytes[i + 3]);
        reg = crc8_step(reg, bytes[i + 4]);
        reg = crc8_step(reg, bytes[i + 5]);
        reg = crc8_step(reg, bytes[i + 6]);
        reg = crc8_step(reg, bytes[i + 7]);
    }
    for (; i < len; ++i)
        reg = crc8_step(reg, bytes[i]);
    return reg;
}

} // namespace lep3::link
