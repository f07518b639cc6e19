#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "lep3.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kPixels = 19200;

std::vector<uint8_t> read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Each test runs in a fresh temporary working directory.
class ImageFiles : public ::testing::Test {
  protected:
    void SetUp() override
    {
        std::string templ = (fs::temp_directory_path() / "lep3-images-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
        old_ = fs::current_path();
        fs::current_path(dir_);
    }
    void TearDown() override
    {
        fs::current_path(old_);
        fs::remove_all(dir_);
    }

    // A directory where the file should go makes its creation fail, even for root.
    void block(const std::string &name) { fs::create_directory(dir_ / name); }

    fs::path dir_;
    fs::path old_;
};

std::string captured_call(const std::function<int()> &call, int expected)
{
    ::testing::internal::CaptureStdout();
    const int result = call();
    (void)std::fflush(stdout);
    EXPECT_EQ(result, expected);
    return ::testing::internal::GetCapturedStdout();
}

TEST_F(ImageFiles, Gray8FileIsNamedByTheCallersNumberAndHoldsTheFrame)
{
    std::vector<uint8_t> grey(kPixels);
    for (size_t i = 0; i < kPixels; ++i)
        grey[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(saveGray8ImageFile(grey.data(), 7), 0);
    EXPECT_EQ(read_file("gray8_7_160x120.yuv"), grey);
    EXPECT_EQ(saveGray8ImageFile(grey.data(), -1), 0);
    EXPECT_TRUE(fs::exists("gray8_-1_160x120.yuv"));
}

TEST_F(ImageFiles, RgbFileIsReplacedByTheNextCall)
{
    std::vector<uint8_t> first(kPixels * 3, 1);
    std::vector<uint8_t> second(kPixels * 3);
    for (size_t i = 0; i < second.size(); ++i)
        second[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(saveRGB24ImageFile(first.data()), 0);
    EXPECT_EQ(saveRGB24ImageFile(second.data()), 0);
    EXPECT_EQ(read_file("leptonImage.rgb"), second);
}

TEST_F(ImageFiles, RawFileKeepsHostByteOrderAndIsNamedByTheFrameNumber)
{
    std::vector<uint16_t> raw(kPixels, 0x1234);
    raw[kPixels - 1] = 0x3FFF;
    frame_desc_t desc{0, 0, 160, 120, 38400, 42};
    EXPECT_EQ(saveImageFile(raw.data(), desc), 0);
    const auto bytes = read_file("image1442.y");
    ASSERT_EQ(bytes.size(), 38400U);
    EXPECT_EQ(bytes[0], 0x34);
    EXPECT_EQ(bytes[1], 0x12);
    EXPECT_EQ(bytes[38398], 0xFF);
    EXPECT_EQ(bytes[38399], 0x3F);
}

TEST_F(ImageFiles, PacketHeadFileKeepsTheReceivedBytes)
{
    std::vector<uint8_t> packets(39360);
    for (size_t i = 0; i < packets.size(); ++i)
        packets[i] = static_cast<uint8_t>(i % 251);
    EXPECT_EQ(saveImageIncludePacketHead(packets.data(), 3), 0);
    EXPECT_EQ(read_file("headImage3.jpg"), packets);
}

TEST_F(ImageFiles, OpenFailuresPrintTheirFixedMessages)
{
    std::vector<uint8_t> buffer(39360);
    std::vector<uint16_t> raw(kPixels);
    block("gray8_1_160x120.yuv");
    block("leptonImage.rgb");
    block("image1445.y");
    block("headImage1.jpg");
    EXPECT_EQ(captured_call([&] { return saveGray8ImageFile(buffer.data(), 1); }, -1),
              "\nCan't create gray8image.y\n\n");
    EXPECT_EQ(captured_call([&] { return saveRGB24ImageFile(buffer.data()); }, -1), "Can't create leptonImage.rgb\n");
    EXPECT_EQ(captured_call(
                  [&] {
                      return saveImageFile(raw.data(), frame_desc_t{0, 0, 160, 120, 38400, 45});
                  },
                  -1),
              "");
    EXPECT_EQ(captured_call([&] { return saveImageIncludePacketHead(buffer.data(), 1); }, -1),
              "\nCan't create headImage.jpg\n\n");
}

// A file name linked to /dev/full: opening succeeds, writing fails for want of space.
TEST_F(ImageFiles, WriteFailuresPrintTheirFixedMessages)
{
    for (const char *name : {"gray8_2_160x120.yuv", "leptonImage.rgb", "image1446.y", "headImage2.jpg"})
        fs::create_symlink("/dev/full", name);
    std::vector<uint8_t> buffer(57600);
    std::vector<uint16_t> raw(kPixels);
    EXPECT_EQ(captured_call([&] { return saveGray8ImageFile(buffer.data(), 2); }, -1),
              "\nsaveGray8ImageFile:Write data to file error!\n\n");
    EXPECT_EQ(captured_call([&] { return saveRGB24ImageFile(buffer.data()); }, -1), "Write data to file error!\n");
    EXPECT_EQ(captured_call(
                  [&] {
                      return saveImageFile(raw.data(), frame_desc_t{0, 0, 160, 120, 38400, 46});
                  },
                  -1),
              "Write data to file error!\n");
    EXPECT_EQ(captured_call([&] { return saveImageIncludePacketHead(buffer.data(), 2); }, -1),
              "\nsaveImageIncludePacketHead:Write data to file error!\n\n");
}

// RAW14 captures: frames go through the library's frame queue, filled directly.
class Raw14Capture : public ImageFiles {
  protected:
    void SetUp() override
    {
        ImageFiles::SetUp();
        sdcard_ = dir_ / "sdcard";
        fs::create_directory(sdcard_);
        ASSERT_EQ(LEP3_SetPath(LEP3_PATH_SDCARD_DIR, sdcard_.c_str()), 0);
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(frame_queue_init(&frame_queue, 57600, 120, 160), 0);
        (void)std::fflush(stdout);
        ::testing::internal::GetCapturedStdout();
    }
    void TearDown() override
    {
        frame_queue_free(&frame_queue);
        ImageFiles::TearDown();
    }

    void send_raw(uint32_t number, uint16_t value)
    {
        std::vector<uint16_t> raw(kPixels, value);
        const frame_desc_t desc{0, 0, 160, 120, 38400, number};
        ASSERT_EQ(LEP3_SendFrameToQueue(reinterpret_cast<const uint8_t *>(raw.data()), &desc), 0);
    }

    fs::path sdcard_;
};

TEST_F(Raw14Capture, FirstCaptureIsRaw14ZeroWithTheRawFrameOnly)
{
    send_raw(1, 0x1234);
    EXPECT_EQ(LEP3_SaveRaw14TiffImage(), 0);
    const auto bytes = read_file(sdcard_ / "RAW14_0.tiff");
    ASSERT_EQ(bytes.size(), 38400U); // no TIFF header: pixel data from the first byte
    EXPECT_EQ(bytes[0], 0x34);
    EXPECT_EQ(bytes[1], 0x12);
    send_raw(2, 0x0102);
    EXPECT_EQ(LEP3_SaveRaw14TiffImage(), 0);
    EXPECT_EQ(read_file(sdcard_ / "RAW14_1.tiff")[0], 0x02);
}

TEST_F(Raw14Capture, UnwritableDirectoryUsesUpTheNumberButNotTheFrame)
{
    block("sdcard/RAW14_0.tiff");
    send_raw(1, 0x0BCD);
    EXPECT_EQ(captured_call(LEP3_SaveRaw14TiffImage, -1), "\nCan't create RAW14.tiff\n");
    // The frame is still waiting and the next call takes the next number.
    EXPECT_EQ(LEP3_SaveRaw14TiffImage(), 0);
    const auto bytes = read_file(sdcard_ / "RAW14_1.tiff");
    ASSERT_EQ(bytes.size(), 38400U);
    EXPECT_EQ(bytes[0], 0xCD);
}

TEST_F(Raw14Capture, WriteFailurePrintsItsMessage)
{
    fs::create_symlink("/dev/full", sdcard_ / "RAW14_0.tiff");
    send_raw(1, 7);
    EXPECT_EQ(captured_call(LEP3_SaveRaw14TiffImage, -1), "\nsave RAW14.tiff: Write data to file error!\n");
}

TEST_F(Raw14Capture, RgbFrameIsRefusedAndLeavesNoFile)
{
    std::vector<uint8_t> rgb(57600, 9);
    const frame_desc_t desc{0, 1, 160, 120, 57600, 1};
    ASSERT_EQ(LEP3_SendFrameToQueue(rgb.data(), &desc), 0);
    const std::string out = captured_call(LEP3_SaveRaw14TiffImage, -1);
    EXPECT_NE(out.find("no raw frame"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(sdcard_ / "RAW14_0.tiff"));
    send_raw(2, 1);
    EXPECT_EQ(LEP3_SaveRaw14TiffImage(), 0);
    EXPECT_TRUE(fs::exists(sdcard_ / "RAW14_1.tiff"));
}

} // namespace
