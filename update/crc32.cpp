// Verification CRC of the bootloader: reflected CRC-32 with the IEEE 802.3 polynomial,
// table driven, register starting at 0 with no final inversion.
#include <array>
#include <cstdint>
#include <span>

#include "update/update_internal.h"

namespace lep3::update {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

constexpr std::array<uint32_t, 256> make_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < table.size(); ++i) {
        uint32_t entry = i;
        for (int bit = 0; bit < 8; ++bit)
            entry = (entry & 1u) != 0 ? (entry >> 1) ^ kPolynomial : entry >> 1;
        table[i] = entry;
    }
    return table;
}

// Built by the compiler, so there is nothing to race on at first use.
constexpr std::array<uint32_t, 256> kTable = make_table();
static_assert(kTable[1] == 0x77073096u && kTable[255] == 0x2D02EF8Du);

constexpr uint32_t step(uint32_t reg, uint8_t byte)
{
    return kTable[(reg ^ byte) & 0xFFu] ^ (reg >> 8);
}

} // namespace

uint32_t crc32_update(uint32_t reg, std::span<const uint8_t> bytes, uint8_t mask)
{
    for (const uint8_t byte : bytes)
        reg = step(reg, static_cast<uint8_t>(byte ^ mask));
    return reg;
}

uint32_t crc32_fill(uint32_t reg, uint8_t value, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        reg = step(reg, value);
    return reg;
}

} // namespace lep3::update
