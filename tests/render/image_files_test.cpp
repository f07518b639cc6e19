// The image files: what each writer stores and prints, RAW14 numbering, and names that
// something planted in a shared directory can't redirect.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "lep3.h"
#include "support/file_size_limit.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A frame of one 16-bit value, as the bytes of this host's order; long enough for an RGB
// frame too.
std::vector<uint8_t> raw_bytes(uint16_t value, size_t size = 38400)
{
    const std::vector<uint16_t> words(size / 2, value);
    return {reinterpret_cast<const uint8_t *>(words.data()), reinterpret_cast<const uint8_t *>(words.data()) + size};
}

std::string captured_call(const std::function<int()> &call, int expected)
{
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(call(), expected);
    (void)std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

// Runs call with files limited to a few bytes, so that its write fails part way, on a
// regular file.
int with_short_files(const std::function<int()> &call)
{
    const lep3::test::FileSizeLimit limit(1000);
    return call();
}

// Each test runs in a process of its own, in a fresh temporary working directory.
class ImageFiles : public ::testing::Test {
  protected:
    void SetUp() override { fs::current_path(dir_); }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_ = mkdtemp((fs::temp_directory_path() / "lep3-images-XXXXXX").string().data());
};

// Each writer stores the leading bytes of one buffer (raw pixels in host byte order), a
// second call replacing the first; creation fails where a directory stands in the file's
// place (even for root), writing where the file can't grow, each with its message.
TEST_F(ImageFiles, WritersStoreTheirFrameOrPrintTheirFixedMessages)
{
    std::vector<uint16_t> raw(57600 / 2);
    uint8_t *bytes = reinterpret_cast<uint8_t *>(raw.data());
    const frame_desc_t desc{0, 0, 160, 120, 38400, 42};
    for (size_t i = 0; i < 57600; ++i)
        bytes[i] = static_cast<uint8_t>(i % 251);
    const struct {
        const char *file;
        size_t size;
        std::function<int()> call;
        const char *open_message, *write_message;
    } writers[] = {
        {"gray8_-1_160x120.yuv", 19200, [&] { return saveGray8ImageFile(bytes, -1); },
         "\nCan't create gray8image.y\n\n", "\nsaveGray8ImageFile:Write data to file error!\n\n"},
        {"leptonImage.rgb", 57600, [&] { return saveRGB24ImageFile(bytes); }, "Can't create leptonImage.rgb\n",
         "Write data to file error!\n"},
        {"image1442.y", 38400, [&] { return saveImageFile(raw.data(), desc); }, "", "Write data to file error!\n"},
        {"headImage3.jpg", 39360, [&] { return saveImageIncludePacketHead(bytes, 3); },
         "\nCan't create headImage.jpg\n\n", "\nsaveImageIncludePacketHead:Write data to file error!\n\n"},
    };
    for (const auto &w : writers) {
        SCOPED_TRACE(w.file);
        EXPECT_EQ(w.call() + w.call(), 0);
        EXPECT_EQ(read_file(w.file), std::vector<uint8_t>(bytes, bytes + w.size));
        fs::remove(w.file);
        fs::create_directory(w.file);
        EXPECT_EQ(captured_call(w.call, -1), w.open_message);
        fs::remove(w.file);
        EXPECT_EQ(captured_call([&] { return with_short_files(w.call); }, -1), w.write_message);
    }
}

// The working directory or the sdcard directory may be shared: a symlink planted at the
// name (here to a file of the host's) or a FIFO is refused at once as a file that can't
// be created, and the host's file is untouched. A new file is writable by its owner only,
// whatever the umask.
TEST_F(ImageFiles, SymlinkOrFifoPlantedAtTheNameIsRefusedAndNewFilesAreNotWorldWritable)
{
    const std::vector<uint8_t> frame(57600, 0x5A);
    const std::vector<uint8_t> precious = {'k', 'e', 'e', 'p'};
    std::ofstream("precious", std::ios::binary).write("keep", 4);
    fs::create_symlink(dir_ / "precious", "leptonImage.rgb");
    EXPECT_EQ(captured_call([&] { return saveRGB24ImageFile(frame.data()); }, -1), "Can't create leptonImage.rgb\n");
    ASSERT_EQ(mkfifo("gray8_5_160x120.yuv", 0666), 0);
    EXPECT_EQ(captured_call([&] { return saveGray8ImageFile(frame.data(), 5); }, -1),
              "\nCan't create gray8image.y\n\n");
    EXPECT_EQ(read_file("precious"), precious);

    const mode_t saved = umask(0);
    EXPECT_EQ(saveGray8ImageFile(frame.data(), 6), 0);
    umask(saved);
    struct stat st {};
    ASSERT_EQ(stat("gray8_6_160x120.yuv", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644U);
}

// RAW14 captures through the library's frame queue, filled directly, numbered from 0 and
// holding the raw frame without a TIFF header. Each call takes the next number, even when
// it fails; a failed creation leaves the frame queued; an RGB frame is refused without a file.
TEST_F(ImageFiles, Raw14CapturesAreNumberedFromZeroAndHoldTheRawFrameOnly)
{
    fs::create_directories("sdcard/RAW14_1.tiff");
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_SDCARD_DIR, (dir_ / "sdcard").c_str()), 0);
    captured_call([] { return frame_queue_init(&frame_queue, 57600, 120, 160); }, 0);
    const auto send = [](uint32_t number, uint16_t value, uint32_t format = 0) {
        const frame_desc_t desc{0, format, 160, 120, format ? 57600U : 38400U, number};
        ASSERT_EQ(LEP3_SendFrameToQueue(raw_bytes(value, desc.size).data(), &desc), 0);
    };
    send(1, 0x1234);
    EXPECT_EQ(LEP3_SaveRaw14TiffImage(), 0);
    EXPECT_EQ(read_file("sdcard/RAW14_0.tiff"), raw_bytes(0x1234));
    send(2, 0x0BCD);
    EXPECT_EQ(captured_call(LEP3_SaveRaw14TiffImage, -1), "\nCan't create RAW14.tiff\n");
    EXPECT_EQ(LEP3_SaveRaw14TiffImage(), 0);
    EXPECT_EQ(read_file("sdcard/RAW14_2.tiff"), raw_bytes(0x0BCD));
    send(3, 7);
    EXPECT_EQ(captured_call([] { return with_short_files(LEP3_SaveRaw14TiffImage); }, -1),
              "\nsave RAW14.tiff: Write data to file error!\n");
    send(4, 9, 1);
    EXPECT_NE(captured_call(LEP3_SaveRaw14TiffImage, -1).find("no raw frame"), std::string::npos);
    EXPECT_FALSE(fs::exists("sdcard/RAW14_4.tiff"));
    frame_queue_free(&frame_queue);
}

} // namespace
