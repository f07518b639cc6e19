// Check byte of every packet on the link: the Dallas/Maxim CRC-8 (reflected polynomial
// 0x8C, initial value 0, no final XOR) over every byte before it.
#include <array>
#include <cstddef>
#include <cstdint>

#include "lep3.h"

namespace {

constexpr uint8_t kPolynomial = 0x8C;

// One table entry per register value: the eight shifts of the bitwise definition.
constexpr std::array<uint8_t, 256> make_table()
{
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        auto reg = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1U) != 0 ? static_cast<uint8_t>((reg >> 1) ^ kPolynomial) : static_cast<uint8_t>(reg >> 1);
        table[i] = reg;
    }
    return table;
}

constexpr std::array<uint8_t, 256> kTable = make_table();

} // namespace

extern "C" LEP3_API uint8_t packet_crc8(const uint8_t *bytes, size_t len)
{
    uint8_t reg = 0;
    for (size_t i = 0; i < len; ++i)
        reg = kTable[reg ^ bytes[i]];
    return reg;
}
