// The diagnostic capture loops: their capture files and their parser variant (replies
// posted without clearing, 8-bit frames), and capture files that something planted at
// their name can't redirect.

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "link/helpers.h"

namespace {

using lep3::test::stdout_of;

// Runs a capture loop over the bytes; returns what it printed.
std::string run(void *(*routine)(void *), const std::vector<uint8_t> &bytes)
{
    enqueue_multi(&uart_queue, bytes.data(), int32_t(bytes.size()));
    lep3::link::set_diagnostic_passes(uint32_t(bytes.size()));
    return stdout_of([&] { EXPECT_EQ(routine(nullptr), nullptr); });
}

std::vector<uint8_t> file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The reset notice is posted like any reply, with no clearing and no reset thread; both
// frame length bytes announce raw data, and the 8-bit copy stays inside gray8_image.
// Each test in a capture directory of its own.
class DiagnosticLoops : public testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        ASSERT_EQ(LEP3_SetPath(LEP3_PATH_CAPTURE_DIR, dir.c_str()), 0);
        ASSERT_EQ(queue_init(&uart_queue, 200000), 0);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir = "/tmp/lep3-diag-XXXXXX";
};

TEST_F(DiagnosticLoops, CaptureEveryByteAndParseRepliesAndEightBitFrames)
{
    stdout_of([] { frame_queue_init(&frame_queue, 57600, 120, 160); });
    std::vector<uint8_t> bytes(5000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 7);
    EXPECT_EQ(run(LEP3_Save_Data_Test_Thr, bytes), "Enter LEP_Save_Data_Test_Thr\n");
    EXPECT_EQ(file(dir + "/uartQueueData.bin"), bytes);

    command_read.data[5] = 0x99;
    std::vector<uint16_t> pixels(19200);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = uint16_t(8000 + i % 300);
    const auto frame = lep3::test::raw_frame_packet(pixels);
    bytes = {0xAA, 0x55, 0x04, 0x04, 0x04, 0x02, 0x00, 0x3D};
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    bytes[bytes.size() - frame.size() + 2] = 0xF6; // announces the RGB format
    EXPECT_EQ(run(LEP3_Parse_Test_Thr, bytes).rfind("Enter LEP_Parse_Test_Thr\ngot all command data\n", 0), 0U);
    EXPECT_EQ(file(dir + "/parseTest.bin"), bytes);
    EXPECT_EQ(lep3::link::load_reply_state(), 2);
    EXPECT_EQ(command_read.command_id, 0x0404);
    EXPECT_EQ(command_read.data[5], 0x99);
    EXPECT_EQ(g_lepton_reset_flag, 0);
    EXPECT_EQ(lepton_image[299], 8299);
    uint8_t *slot = nullptr;
    frame_desc_t desc{};
    frame_dequeue(&frame_queue, &slot, &desc);
    EXPECT_EQ(std::vector<uint32_t>({desc.size, desc.frame_number, desc.format}), std::vector<uint32_t>({19200, 2, 1}));
    EXPECT_EQ(std::vector<uint8_t>(slot, slot + 19200), std::vector<uint8_t>(gray8_image, gray8_image + 19200));
}

// The capture directory is /tmp by default, where anyone can plant a name: a symlink
// there (to a file of the host's) or a FIFO is refused with the routine's own message,
// printed as it stands, and what the link pointed at is left untouched.
TEST_F(DiagnosticLoops, CaptureFileRefusesASymlinkOrFifoPlantedAtItsName)
{
    const std::string victim = dir + "/host-file";
    std::ofstream(victim) << "the host's";
    std::filesystem::create_symlink(victim, dir + "/parseTest.bin");
    ASSERT_EQ(mkfifo((dir + "/uartQueueData.bin").c_str(), 0600), 0);
    using Routine = void *(*)(void *);
    for (const auto &[routine, printed] :
         {std::pair<Routine, std::string>{LEP3_Parse_Test_Thr,
                                          "Enter LEP_Parse_Test_Thr\n\nCan't create parseTest.bin\n"},
          {LEP3_Save_Data_Test_Thr, "Enter LEP_Save_Data_Test_Thr\n\nCan't create uartQueueData.bin\n"}}) {
        void *result = nullptr;
        EXPECT_EQ(lep3::test::stdout_of([&] { result = routine(nullptr); }), printed);
        EXPECT_EQ(result, reinterpret_cast<void *>(intptr_t{-1}));
    }
    EXPECT_EQ(file(victim), std::vector<uint8_t>({'t', 'h', 'e', ' ', 'h', 'o', 's', 't', '\'', 's'}));
}

} // namespace
