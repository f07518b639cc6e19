// The PNG files the tool writes decode to exactly the pixels it was given.
#include "tools/png_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "tools/tool_fixture.h"

namespace {

using PngWriterTest = lep3::test::ToolTest;

TEST_F(PngWriterTest, Gray16KeepsEveryValueByteOrderAndText)
{
    // Values whose two bytes differ catch a missing or doubled byte swap; the extremes
    // catch sign or width mistakes.
    std::vector<uint16_t> grey(size_t{7} * 3);
    for (size_t i = 0; i < grey.size(); ++i)
        grey[i] = static_cast<uint16_t>(0x0102 + i * 0x0F0D);
    grey[0] = 0;
    grey[1] = 0xFFFF;
    const lep3tool::PngText text[] = {{"Frame Number", "42"}, {"R", "878900"}};
    lep3tool::write_png_gray16(path("g.png"), grey, 7, 3, text);
    const auto png = lep3::test::read_png(path("g.png"));
    EXPECT_EQ(png.width, 7u);
    EXPECT_EQ(png.height, 3u);
    EXPECT_EQ(png.bit_depth, 16);
    EXPECT_EQ(png.colour_type, 0); // greyscale
    EXPECT_EQ(png.samples, grey);
    EXPECT_EQ(png.text, (std::map<std::string, std::string>{{"Frame Number", "42"}, {"R", "878900"}}));
}

TEST_F(PngWriterTest, FailureThrowsAndLeavesNoFileBehind)
{
    const std::vector<uint16_t> grey(4);
    EXPECT_THROW(lep3tool::write_png_gray16(path("missing/g.png"), grey, 2, 2, {}), std::runtime_error);
    // A buffer smaller than the image must not be read past its end.
    EXPECT_THROW(lep3tool::write_png_gray16(path("short.png"), grey, 3, 2, {}), std::runtime_error);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

} // namespace
