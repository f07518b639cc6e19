#include <gtest/gtest.h>

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

std::vector<uint8_t> counting(size_t size, size_t modulus = 256)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i % modulus);
    return bytes;
}

// A raw frame of one value, as the little-endian bytes a host of that order writes.
std::vector<uint8_t> raw_bytes(uint16_t value)
{
    std::vector<uint8_t> bytes(2 * kPixels, static_cast<uint8_t>(value));
    for (size_t i = 1; i < bytes.size(); i += 2)
        bytes[i] = static_cast<uint8_t>(value >> 8);
    return bytes;
}

std::string captured_call(const std::function<int()> &call, int expected)
{
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(call(), expected);
    (void)std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
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

    fs::path dir_;
    fs::path old_;
};

TEST_F(ImageFiles, FilesHoldTheFrameUnderTheirNames)
{
    const std::vector<uint8_t> grey = counting(kPixels, 251);
    EXPECT_EQ(saveGray8ImageFile(grey.data(), 7), 0);
    EXPECT_EQ(read_file("gray8_7_160x120.yuv"), grey);
    EXPECT_EQ(saveGray8ImageFile(grey.data(), -1), 0);
    EXPECT_TRUE(fs::exists("gray8_-1_160x120.yuv"));

    const std::vector<uint8_t> rgb = counting(kPixels * 3);
    EXPECT_EQ(saveRGB24ImageFile(std::vector<uint8_t>(kPixels * 3, 1).data()), 0);
    EXPECT_EQ(saveRGB24ImageFile(rgb.data()), 0); // replaces the first
    EXPECT_EQ(read_file("leptonImage.rgb"), rgb);

    // Raw pixels in host byte order, named 1400 + the frame number.
    const std::vector<uint16_t> raw(kPixels, 0x1234);
    EXPECT_EQ(saveImageFile(raw.data(), frame_desc_t{0, 0, 160, 120, 38400, 42}), 0);
    EXPECT_EQ(read_file("image1442.y"), raw_bytes(0x1234));

    const std::vector<uint8_t> packets = counting(39360, 251);
    EXPECT_EQ(saveImageIncludePacketHead(packets.data(), 3), 0);
    EXPECT_EQ(read_file("headImage3.jpg"), packets);
}

// Creation fails where a directory stands in the file's place (even for root); writing
// fails where the name links to /dev/full.
TEST_F(ImageFiles, OpenAndWriteFailuresPrintTheirFixedMessages)
{
    std::vector<uint8_t> buffer(57600);
    std::vector<uint16_t> raw(kPixels);
    const struct {
        const char *file;
        std::function<int()> call;
        const char *open_message;
        const char *write_message;
    } writers[] = {
        {"gray8_1_160x120.yuv", [&] { return saveGray8ImageFile(buffer.data(), 1); }, "\nCan't create gray8image.y\n\n",
         "\nsaveGray8ImageFile:Write data to file error!\n\n"},
        {"leptonImage.rgb", [&] { return saveRGB24ImageFile(buffer.data()); }, "Can't create leptonImage.rgb\n",
         "Write data to file error!\n"},
        {"image1445.y",
         [&] {
             return saveImageFile(raw.data(), frame_desc_t{0, 0, 160, 120, 38400, 45});
         },
         "", "Write data to file error!\n"},
        {"headImage1.jpg", [&] { return saveImageIncludePacketHead(buffer.data(), 1); },
         "\nCan't create headImage.jpg\n\n", "\nsaveImageIncludePacketHead:Write data to file error!\n\n"},
    };
    for (const auto &w : writers) {
        SCOPED_TRACE(w.file);
        fs::create_directory(w.file);
        EXPECT_EQ(captured_call(w.call, -1), w.open_message);
        fs::remove(w.file);
        fs::create_symlink("/dev/full", w.file);
        EXPECT_EQ(captured_call(w.call, -1), w.write_message);
    }
}

// RAW14 captures through the library's frame queue, filled directly. Each call takes the
// next number, even when it fails; a failed creation leaves the frame queued; an RGB frame
// is refused without a file.
TEST_F(ImageFiles, Raw14CapturesAreNumberedFromZeroAndHoldTheRawFrameOnly)
{
    const fs::path sdcard = dir_ / "sdcard";
    fs::create_directory(sdcard);
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_SDCARD_DIR, sdcard.c_str()), 0);
    captured_call([] { return frame_queue_init(&frame_queue, 57600, 120, 160); }, 0);
    const auto send = [](uint32_t number, uint16_t value) {
        const std::vector<uint16_t> raw(kPixels, value);
        const frame_desc_t desc{0, 0, 160, 120, 38400, number};
        ASSERT_EQ(LEP3_SendFrameToQueue(reinterpret_cast<const uint8_t *>(raw.data()), &desc), 0);
    };

    send(1, 0x1234);
    EXPECT_EQ(LEP3_SaveRaw14TiffImage(), 0);
    EXPECT_EQ(read_file(sdcard / "RAW14_0.tiff"), raw_bytes(0x1234)); // no TIFF header

    fs::create_directory(sdcard / "RAW14_1.tiff");
    send(2, 0x0BCD);
    EXPECT_EQ(captured_call(LEP3_SaveRaw14TiffImage, -1), "\nCan't create RAW14.tiff\n");
    EXPECT_EQ(LEP3_SaveRaw14TiffImage(), 0);
    EXPECT_EQ(read_file(sdcard / "RAW14_2.tiff"), raw_bytes(0x0BCD));

    fs::create_symlink("/dev/full", sdcard / "RAW14_3.tiff");
    send(3, 7);
    EXPECT_EQ(captured_call(LEP3_SaveRaw14TiffImage, -1), "\nsave RAW14.tiff: Write data to file error!\n");

    std::vector<uint8_t> rgb(57600, 9);
    const frame_desc_t desc{0, 1, 160, 120, 57600, 4};
    ASSERT_EQ(LEP3_SendFrameToQueue(rgb.data(), &desc), 0);
    const std::string out = captured_call(LEP3_SaveRaw14TiffImage, -1);
    EXPECT_NE(out.find("no raw frame"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(sdcard / "RAW14_4.tiff"));
    frame_queue_free(&frame_queue);
}

} // namespace
