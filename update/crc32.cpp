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

namespace {

// One register step with a fixed input byte is an affine map over GF(2)^32: the table is
// linear, so step(x, b) = table[x & 0xFF] ^ (x >> 8) ^ table[b]. Such maps compose, which
// lets a run of n equal bytes be applied in log2(n) squarings: a bootloader that reports
// a flash of gigabytes costs microseconds, not minutes, before its CRC is refused.
struct AffineStep {
    std::array<uint32_t, 32> column{}; // image of each register bit under the linear part
    uint32_t offset = 0;

    uint32_t apply(uint32_t reg) const
    {
        uint32_t out = offset;
        for (int bit = 0; bit < 32; ++bit)
            out ^= (reg >> bit & 1u) != 0 ? column[static_cast<size_t>(bit)] : 0u;
        return out;
    }
    // The map that applies `first`, then this one.
    AffineStep after(const AffineStep &first) const
    {
        AffineStep out;
        for (size_t bit = 0; bit < out.column.size(); ++bit)
            out.column[bit] = apply(first.column[bit]) ^ offset;
        out.offset = apply(first.offset);
        return out;
    }
};

AffineStep single_step(uint8_t value)
{
    AffineStep s;
    for (int bit = 0; bit < 32; ++bit)
        s.column[static_cast<size_t>(bit)] = step(1u << bit, 0);
    s.offset = step(0, value);
    return s;
}

} // namespace

uint32_t crc32_fill(uint32_t reg, uint8_t value, size_t count)
{
    // All powers of one map commute, so the bits of count can be taken in any order.
    for (AffineStep power = single_step(value); count != 0; count >>= 1, power = power.after(power)) {
        if ((count & 1u) != 0)
            reg = power.apply(reg);
    }
    return reg;
}

} // namespace lep3::update
