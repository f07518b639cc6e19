// The PNG files the tool writes decode to exactly the pixels it was given.
#include "tools/png_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "tools/png_reader.h"

namespace {

namespace fs = std::filesystem;

class PngWriterTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "lep3-png-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string file(const char *name) const { return (fs::path(dir_) / name).string(); }

    std::string dir_;
};

TEST_F(PngWriterTest, Gray16KeepsEveryValueAndByteOrder)
{
    constexpr uint32_t w = 7;
    constexpr uint32_t h = 3;
    // Values whose two bytes differ catch a missing or doubled byte swap; the extremes
    // catch sign or width mistakes.
    std::vector<uint16_t> grey(size_t{w} * h);
    for (size_t i = 0; i < grey.size(); ++i)
        grey[i] = static_cast<uint16_t>(0x0102 + i * 0x0F0D);
    grey[0] = 0;
    grey[1] = 0xFFFF;
    const std::vector<lep3tool::PngText> text = {{"Frame Number", "42"}, {"R", "878900"}};
    lep3tool::write_png_gray16(file("g.png"), grey, w, h, text);

    const auto png = lep3::test::read_png(file("g.png"));
    EXPECT_EQ(png.width, w);
    EXPECT_EQ(png.height, h);
    EXPECT_EQ(png.bit_depth, 16);
    EXPECT_EQ(png.colour_type, 0); // greyscale
    EXPECT_EQ(png.samples, std::vector<uint16_t>(grey.begin(), grey.end()));
    EXPECT_EQ(png.text.at("Frame Number"), "42");
    EXPECT_EQ(png.text.at("R"), "878900");
}

TEST_F(PngWriterTest, Rgb8KeepsChannelOrderAndRows)
{
    constexpr uint32_t w = 4;
    constexpr uint32_t h = 2;
    std::vector<uint8_t> rgb(size_t{w} * h * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<uint8_t>(i * 11);
    lep3tool::write_png_rgb8(file("c.png"), rgb, w, h, {});

    const auto png = lep3::test::read_png(file("c.png"));
    EXPECT_EQ(png.bit_depth, 8);
    EXPECT_EQ(png.colour_type, 2); // RGB
    EXPECT_EQ(png.samples, std::vector<uint16_t>(rgb.begin(), rgb.end()));
    EXPECT_TRUE(png.text.empty());
}

TEST_F(PngWriterTest, FailureThrowsAndLeavesNoFileBehind)
{
    const std::vector<uint16_t> grey(4);
    EXPECT_THROW(lep3tool::write_png_gray16(file("missing/g.png"), grey, 2, 2, {}), std::runtime_error);
    // A buffer smaller than the image must not be read past its end.
    EXPECT_THROW(lep3tool::write_png_gray16(file("short.png"), grey, 3, 2, {}), std::runtime_error);
    EXPECT_TRUE(fs::is_empty(dir_));
}

} // namespace
