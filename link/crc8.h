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

// The register is linear in what it has taken: k steps from x, then k - 1 steps of each
// later byte, XOR together. kCrc8Slices[k - 1][x] is k steps from x with zero bytes, so
// eight bytes take eight independent look-ups and one dependent one, where a step a byte
// waits on the last.
constexpr size_t kCrc8Slice = 8;
constexpr std::array<std::array<uint8_t, 256>, kCrc8Slice> make_crc8_slices()
{
    std::array<std::array<uint8_t, 256>, kCrc8Slice> slices{};
    slices[0] = make_crc8_table();
    for (size_t k = 1; k < kCrc8Slice; ++k)
        for (unsigned i = 0; i < 256; ++i)
            slices[k][i] = slices[0][slices[k - 1][i]];
    return slices;
}

inline constexpr auto kCrc8Slices = make_crc8_slices();

// The register after one more byte.
inline uint8_t crc8_step(uint8_t reg, uint8_t byte)
{
    return kCrc8Table[reg ^ byte];
}

// The register after a run of bytes.
inline uint8_t crc8_run(uint8_t reg, const uint8_t *bytes, size_t len)
{
    size_t i = 0;
    for (; i + kCrc8Slice <= len; i += kCrc8Slice) {
        const uint8_t *b = bytes + i;
        reg = static_cast<uint8_t>(kCrc8Slices[7][reg ^ b[0]] ^ kCrc8Slices[6][b[1]] ^ kCrc8Slices[5][b[2]] ^
                                   kCrc8Slices[4][b[3]] ^ kCrc8Slices[3][b[4]] ^ kCrc8Slices[2][b[5]] ^
                                   kCrc8Slices[1][b[6]] ^ kCrc8Slices[0][b[7]]);
    }
    for (; i < len; ++i)
        reg = crc8_step(reg, bytes[i]);
    return reg;
}

} // namespace lep3::link
