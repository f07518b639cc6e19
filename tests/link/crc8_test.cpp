// The check byte's CRC over runs, eight bytes a turn, against the bitwise definition.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "link/crc8.h"

namespace {

uint8_t bitwise_crc8(uint8_t reg, const uint8_t *bytes, size_t len)
{
    for (size_t i = 0; i < len; ++i) {
        reg ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1U) != 0 ? static_cast<uint8_t>((reg >> 1) ^ 0x8C) : static_cast<uint8_t>(reg >> 1);
    }
    return reg;
}

// Every length across several turns and their tails, from every register a run may start at.
TEST(Crc8, RunsMatchTheBitwiseDefinitionAtEveryLengthAndStart)
{
    std::mt19937 rng(3);
    std::vector<uint8_t> bytes(40);
    for (auto &b : bytes)
        b = static_cast<uint8_t>(rng());
    for (unsigned start = 0; start < 256; ++start)
        for (size_t len = 0; len <= bytes.size(); ++len)
            ASSERT_EQ(lep3::link::crc8_run(static_cast<uint8_t>(start), bytes.data(), len),
                      bitwise_crc8(static_cast<uint8_t>(start), bytes.data(), len))
                << "start " << start << " length " << len;
}

} // namespace
