// How an image is cut into bootloader data blocks and how the console progress is counted.
#include <array>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "update/update_internal.h"
#include "update_test_support.h"

using namespace lep3::update;

TEST(DataBlocks, ExactMultipleHasNoShortBlockAndSmallImageOnlyOne)
{
    EXPECT_EQ(plan_blocks(128).full_blocks, 2u);
    EXPECT_EQ(plan_blocks(128).short_length, 0u);
    EXPECT_EQ(plan_blocks(130).full_blocks, 2u);
    EXPECT_EQ(plan_blocks(130).short_length, 2u);
    EXPECT_EQ(plan_blocks(1).full_blocks, 0u);
    EXPECT_EQ(plan_blocks(1).short_length, 1u);
    EXPECT_EQ(plan_blocks(63).full_blocks, 0u);
    EXPECT_EQ(plan_blocks(63).short_length, 63u);
    // The data section of a 100 014-byte file with a 14-byte header.
    EXPECT_EQ(plan_blocks(100000).full_blocks, 1562u);
    EXPECT_EQ(plan_blocks(100000).short_length, 32u);
}

TEST(DataBlocks, WireFormIsOpcodeCountBytesAndEndByte)
{
    const std::vector<uint8_t> image = lep3::test::image_data(130);
    std::array<uint8_t, kMaxBlockSize> block{};

    ASSERT_EQ(build_data_block(std::span(image).first(64), block), 67u);
    EXPECT_EQ(block[0], 0x27);
    EXPECT_EQ(block[1], 0x40);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 64, block.begin() + 2));
    EXPECT_EQ(block[66], 0x20);

    ASSERT_EQ(build_data_block(std::span(image).last(2), block), 5u);
    const std::array<uint8_t, 5> short_block{0x27, 0x02, image[128], image[129], 0x20};
    EXPECT_TRUE(std::equal(short_block.begin(), short_block.end(), block.begin()));
}

TEST(DataBlocks, ProgressCountsBlocksBeforeTheCurrentOne)
{
    EXPECT_EQ(block_progress_percent(0, 2), 0);
    EXPECT_EQ(block_progress_percent(1, 2), 50);
    EXPECT_EQ(block_progress_percent(1, 3), 33);
    EXPECT_EQ(block_progress_percent(2, 3), 66);
    EXPECT_EQ(block_progress_percent(1023, 1024), 99);
}

TEST(DataBlocks, EmptyOrMissingImageIsRefusedWithoutOpeningADevice)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(send_update_file(nullptr, 10), -1);
    const uint8_t byte = 0;
    EXPECT_EQ(send_update_file(&byte, 0), -1);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "ERROR: firmware image is empty, nothing to send!\n"
                       "ERROR: firmware image is empty, nothing to send!\n");
}
