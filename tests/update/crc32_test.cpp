// The verification CRC against its reference values and a bit-by-bit reference.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "update/update_internal.h"
#include "update_test_support.h"

using lep3::update::crc32_fill;
using lep3::update::crc32_update;

namespace {

// One bit at a time, straight from the definition of the reflected polynomial.
uint32_t naive_crc(uint32_t reg, const std::vector<uint8_t> &bytes)
{
    for (const uint8_t byte : bytes) {
        reg ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) != 0 ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return reg;
}

} // namespace

TEST(VerificationCrc, ReferenceValuesWithoutMaskOrInversion)
{
    const std::vector<uint8_t> abc = lep3::test::bytes_of("abc");
    EXPECT_EQ(crc32_update(0, abc), 0xCA6598D0u);
    EXPECT_EQ(crc32_fill(0, 0xFF, 4), 0xDEBB20E3u);
    EXPECT_EQ(crc32_fill(0, 0xFF, 0), 0u);
}

TEST(VerificationCrc, TableMatchesBitwiseReferenceForMaskedDataAndPadding)
{
    for (size_t length : {1u, 2u, 63u, 64u, 65u, 1000u}) {
        const std::vector<uint8_t> data = lep3::test::image_data(length, static_cast<uint32_t>(length));
        std::vector<uint8_t> masked(data);
        for (auto &byte : masked)
            byte ^= lep3::update::kImageMask;
        const uint32_t image_crc = crc32_update(0, data, lep3::update::kImageMask);
        EXPECT_EQ(image_crc, naive_crc(0, masked)) << length;

        // Padding continues the same register, unmasked.
        const std::vector<uint8_t> pad(17, 0xFF);
        EXPECT_EQ(crc32_fill(image_crc, 0xFF, pad.size()), naive_crc(naive_crc(0, masked), pad)) << length;
    }
}
