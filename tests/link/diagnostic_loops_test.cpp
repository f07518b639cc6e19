// The diagnostic capture loops: their capture files, their parser variant (replies
// posted without clearing, 8-bit frames) and their failure exits.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "link/helpers.h"

namespace {

class DiagnosticTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char templ[] = "/tmp/lep3-diag-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
        ASSERT_EQ(LEP3_SetPath(LEP3_PATH_CAPTURE_DIR, dir.c_str()), 0);
        ASSERT_EQ(queue_init(&uart_queue, 100000), 0);
        lep3::test::stdout_of([] { frame_queue_init(&frame_queue, 57600, 120, 160); });
    }
    void TearDown() override
    {
        queue_clear(&uart_queue);
        frame_queue_free(&frame_queue);
        std::filesystem::remove_all(dir);
    }

    // Runs a capture loop over the bytes, expecting its result; returns what it printed.
    static std::string run(void *(*routine)(void *), const std::vector<uint8_t> &bytes, intptr_t result = 0)
    {
        enqueue_multi(&uart_queue, bytes.data(), static_cast<int32_t>(bytes.size()));
        lep3::link::set_diagnostic_passes(static_cast<uint32_t>(bytes.size()));
        return lep3::test::stdout_of([&] { EXPECT_EQ(reinterpret_cast<intptr_t>(routine(nullptr)), result); });
    }

    std::vector<uint8_t> file(const char *name) const
    {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::string dir;
};

TEST_F(DiagnosticTest, LoopsCaptureEveryByteAndParseLoopPostsReplies)
{
    std::vector<uint8_t> bytes(5000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(run(LEP3_Save_Data_Test_Thr, bytes), "Enter LEP_Save_Data_Test_Thr\n");
    EXPECT_EQ(file("uartQueueData.bin"), bytes);

    // The reset notice is posted like any reply, with no clearing and no reset thread.
    command_read.data[5] = 0x99;
    bytes = {0xAA, 0x55, 0x04, 0x04, 0x04, 0x02, 0x00, 0x3D};
    EXPECT_EQ(run(LEP3_Parse_Test_Thr, bytes), "Enter LEP_Parse_Test_Thr\ngot all command data\n");
    EXPECT_EQ(file("parseTest.bin"), bytes);
    EXPECT_EQ(lep3::link::load_reply_state(), 2);
    EXPECT_EQ(command_read.command_id, 0x0404);
    EXPECT_EQ(command_read.data[5], 0x99);
    EXPECT_EQ(g_lepton_reset_flag, 0);
}

// Both frame length bytes announce raw data; the 8-bit copy stays inside gray8_image.
TEST_F(DiagnosticTest, ParseLoopQueuesRawFramesAsEightBitImages)
{
    std::vector<uint16_t> pixels(19200);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint16_t>(8000 + i % 300);
    auto bytes = lep3::test::raw_frame_packet(pixels);
    auto rgb_announced = bytes;
    rgb_announced[2] = 0xF6;
    bytes.insert(bytes.end(), rgb_announced.begin(), rgb_announced.end());
    run(LEP3_Parse_Test_Thr, bytes);
    EXPECT_EQ(lepton_image[299], 8299);
    uint8_t *slot = nullptr;
    frame_desc_t desc{};
    frame_dequeue(&frame_queue, &slot, &desc);
    EXPECT_EQ(desc.size, 19200U);
    EXPECT_EQ(desc.frame_number, 2U);
    EXPECT_EQ(desc.format, 1U) << "0xF6 announces the RGB format";
    EXPECT_EQ(std::vector<uint8_t>(slot, slot + 19200), std::vector<uint8_t>(gray8_image, gray8_image + 19200));
}

TEST_F(DiagnosticTest, LoopsWithoutACaptureFileGiveUp)
{
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_CAPTURE_DIR, "/nonexistent/dir"), 0);
    EXPECT_EQ(run(LEP3_Save_Data_Test_Thr, {1}, -1), "Enter LEP_Save_Data_Test_Thr\n\nCan't create uartQueueData.bin\n\n");
    EXPECT_EQ(run(LEP3_Parse_Test_Thr, {1}, -1), "Enter LEP_Parse_Test_Thr\n\nCan't create parseTest.bin\n\n");
}

} // namespace
