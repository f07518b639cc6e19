// The raw range of colour pictures: parsed from the command line and held across frames.
#include "tools/frame_range.h"

#include <gtest/gtest.h>

#include <vector>

#include "tools/args.h"

namespace {

using lep3tool::UsageError;

TEST(FrameRangeTest, ParsesModesAndRejectsBadRanges)
{
    using Mode = lep3tool::FrameRange::Mode;
    EXPECT_EQ(lep3tool::FrameRange::parse("auto").mode, Mode::automatic);
    EXPECT_EQ(lep3tool::FrameRange::parse("held").mode, Mode::held);
    const auto fixed = lep3tool::FrameRange::parse("1000:9000");
    EXPECT_EQ(fixed.mode, Mode::fixed);
    EXPECT_EQ(fixed.min, 1000u);
    EXPECT_EQ(fixed.max, 9000u);
    EXPECT_THROW(lep3tool::FrameRange::parse("9000:1000"), UsageError);
    EXPECT_THROW(lep3tool::FrameRange::parse("5:5"), UsageError);
    EXPECT_THROW(lep3tool::FrameRange::parse("0:70000"), UsageError);
    EXPECT_THROW(lep3tool::FrameRange::parse("hot"), UsageError);
}

std::vector<uint16_t> ramp(uint16_t lo, uint16_t hi)
{
    std::vector<uint16_t> raw(size_t{160} * 120, lo);
    raw.back() = hi;
    return raw;
}

TEST(GreyConverterTest, HeldModeKeepsTheFirstFramesRange)
{
    const auto first = ramp(1000, 2000);
    const auto second = ramp(500, 5000);
    std::vector<uint8_t> gray8(size_t{160} * 120);
    uint16_t lo = 0;
    uint16_t hi = 0;

    lep3tool::GreyConverter held(lep3tool::FrameRange::parse("held"));
    held.convert(first.data(), gray8.data(), lo, hi);
    EXPECT_EQ(lo, 1000);
    EXPECT_EQ(hi, 2000);
    held.convert(second.data(), gray8.data(), lo, hi);
    EXPECT_EQ(lo, 1000);
    EXPECT_EQ(hi, 2000);

    lep3tool::GreyConverter automatic(lep3tool::FrameRange::parse("auto"));
    automatic.convert(first.data(), gray8.data(), lo, hi);
    automatic.convert(second.data(), gray8.data(), lo, hi);
    EXPECT_EQ(lo, 500);
    EXPECT_EQ(hi, 5000);
}

TEST(GreyConverterTest, FixedRangeMapsItsEndsToBlackAndWhite)
{
    std::vector<uint16_t> raw(size_t{160} * 120, 100); // below the range
    for (size_t i = raw.size() / 2; i < raw.size(); ++i)
        raw[i] = 60000; // above it
    std::vector<uint8_t> gray8(size_t{160} * 120);
    uint16_t lo = 0;
    uint16_t hi = 0;
    lep3tool::GreyConverter fixed(lep3tool::FrameRange::parse("1000:9000"));
    fixed.convert(raw.data(), gray8.data(), lo, hi);
    EXPECT_EQ(lo, 1000);
    EXPECT_EQ(hi, 9000);
    EXPECT_EQ(gray8[160 * 10 + 10], 0);
    EXPECT_EQ(gray8[160 * 110 + 10], 255);
}

} // namespace
