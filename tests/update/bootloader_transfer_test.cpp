// One transfer to the emulated bootloader: the bytes on the wire, the console lines, and
// each way the bootloader can refuse, every one ending with the device closed.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bridge_fixture.h"

using namespace lep3::test;

namespace {

using Bytes = std::vector<uint8_t>;

void append(Bytes &to, const Bytes &bytes)
{
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// What the host must write for a whole transfer of image.
Bytes transfer_bytes(const Bytes &image)
{
    Bytes wire = {0x21, 0x20, 0x22, 0x01, 0x20, 0x22, 0x04, 0x20, 0x23, 0x20};
    for (size_t at = 0; at < image.size(); at += 64) {
        const size_t n = std::min<size_t>(64, image.size() - at);
        wire.push_back(0x27);
        wire.push_back(static_cast<uint8_t>(n));
        wire.insert(wire.end(), image.begin() + static_cast<std::ptrdiff_t>(at),
                    image.begin() + static_cast<std::ptrdiff_t>(at + n));
        wire.push_back(0x20);
    }
    append(wire, {0x29, 0x20, 0x30, 0x20});
    return wire;
}

void expect_in_order(const std::string &text, const std::vector<std::string> &pieces)
{
    size_t at = 0;
    for (const std::string &piece : pieces) {
        const size_t found = text.find(piece, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: \"" << piece << "\" in\n" << text;
        at = found + piece.size();
    }
}

} // namespace

class BootloaderTransfer : public BridgeFixture {
  protected:
    void start_in_bootloader(lep3::sim::Options options = {})
    {
        start(std::move(options));
        enter_bootloader();
    }

    // A failed transfer leaves the bootloader where it is and must not keep a descriptor.
    int failing_transfer(const Bytes &image)
    {
        sim().clear_requests();
        const size_t before = open_descriptor_count();
        const int result = transfer(image);
        EXPECT_EQ(open_descriptor_count(), before) << "descriptor leaked";
        return result;
    }

    int transfer(const Bytes &image)
    {
        testing::internal::CaptureStdout();
        const int result = send_update_file(image.data(), static_cast<uint32_t>(image.size()));
        (void)std::fflush(stdout);
        printed_ = testing::internal::GetCapturedStdout();
        return result;
    }

    void reset_faults(const std::function<void(lep3::sim::Faults &)> &change)
    {
        set_faults([&change](lep3::sim::Faults &f) {
            f = lep3::sim::Faults{};
            change(f);
        });
    }
};

TEST_F(BootloaderTransfer, WritesEveryCommandAndBlockAndTheFlashHoldsTheImage)
{
    start_in_bootloader();
    const Bytes image = image_data(130);
    ASSERT_EQ(transfer(image), 0) << printed_;
    EXPECT_EQ(sim().boot_received(), transfer_bytes(image));
    EXPECT_EQ(sim().programmed_image(), image);

    char first[32];
    char last[32];
    (void)std::snprintf(first, sizeof first, "buf[0]:%02x\r\n", image.front());
    (void)std::snprintf(last, sizeof last, "buf[file_len-1]:%02x,130\r\n", image.back());
    expect_in_order(printed_, {"sync_cmd send,try=10!\n",
                               "sync_cmd send 2 bytes\n",
                               "sync ok!\n",
                               "Connected to bootloader\n",
                               "bootloader ver: 3\n",
                               "flash size: 262144\n",
                               "Erasing previous program...\n",
                               "erase ok!\n",
                               "Erase complete!\n",
                               "Programming new version...\n",
                               "progress_val:00%\r",
                               "progress_val:50%\r",
                               "send less 64 dat ack!\n",
                               "send file dat ok!\n",
                               "progress_val:100%\n",
                               "Program complete!\n",
                               "Verifying program...\n",
                               first,
                               last,
                               "crc32:",
                               "get crc:",
                               "calc crc:",
                               "Verify complete\n",
                               "Upgrade complete\n",
                               "Boot app...\n",
                               "App is running...\n"});
    // Both CRC lines show the same four bytes.
    const size_t got = printed_.find("get crc:") + 8;
    const size_t calc = printed_.find("calc crc:") + 9;
    EXPECT_EQ(printed_.substr(got, 11), printed_.substr(calc, 11));
}

TEST_F(BootloaderTransfer, RefusedSyncsAreRetriedAndOneByteGoesAsOneShortBlock)
{
    start_in_bootloader();
    set_faults([](auto &f) { f.refuse_sync = 2; });
    const Bytes image = {0x5A};
    ASSERT_EQ(transfer(image), 0) << printed_;
    expect_in_order(printed_, {"sync_cmd send,try=10!\n", "sync_cmd not ack,try=10!\n", "sync_cmd send,try=9!\n",
                               "sync_cmd not ack,try=9!\n", "sync_cmd send,try=8!\n", "sync ok!\n",
                               "send less 64 dat ack!\n", "progress_val:100%\n"});
    EXPECT_EQ(printed_.find("%\r"), std::string::npos) << "a full-block progress line for a 1-byte image";
    Bytes expected = {0x21, 0x20, 0x21, 0x20};
    append(expected, transfer_bytes(image));
    EXPECT_EQ(sim().boot_received(), expected);
    EXPECT_EQ(sim().programmed_image(), image);
}

TEST_F(BootloaderTransfer, FlashSizeBoundsTheImageAndThePadding)
{
    lep3::sim::Options options;
    options.flash_size = 128;
    start_in_bootloader(options);

    // Too large: refused before the erase, with the old firmware intact.
    EXPECT_EQ(failing_transfer(image_data(130)), -1);
    EXPECT_NE(printed_.find("exceeds flash size 128"), std::string::npos) << printed_;
    EXPECT_EQ(sim().boot_received(), (Bytes{0x21, 0x20, 0x22, 0x01, 0x20, 0x22, 0x04, 0x20}));

    // Exactly the flash size: whole blocks only, and no 0xFF padding in the CRC.
    sim().clear_requests();
    const Bytes image = image_data(128);
    ASSERT_EQ(transfer(image), 0) << printed_;
    EXPECT_EQ(sim().boot_received(), transfer_bytes(image));
    EXPECT_EQ(printed_.find("send less 64 dat"), std::string::npos);
}

TEST_F(BootloaderTransfer, EachRefusalFailsTheTransferAtOnceWithItsMessage)
{
    start_in_bootloader();
    const Bytes image = image_data(130);
    struct Case {
        std::function<void(lep3::sim::Faults &)> fault;
        const char *message;
        Bytes last_sent; // the transfer stops after this command
    };
    const std::vector<Case> cases = {
        {[](auto &f) { f.refuse_block = 1; }, "send 64 dat not ack!\n", {0x20}},
        {[](auto &f) { f.refuse_block = 2; }, "send less 64 dat not ack!\n", {image[128], image[129], 0x20}},
        {[](auto &f) { f.drop_block_ack = 0; }, "send file content reply error!\n", {0x20}},
        {[](auto &f) { f.wrong_crc = true; }, "Check crc32 err\n", {0x29, 0x20}},
        {[](auto &f) { f.refuse_boot = true; }, "Boot app err!\n", {0x30, 0x20}},
    };
    for (const Case &c : cases) {
        reset_faults(c.fault);
        EXPECT_EQ(failing_transfer(image), -1) << c.message;
        EXPECT_NE(printed_.find(c.message), std::string::npos) << printed_;
        const Bytes sent = sim().boot_received();
        ASSERT_GE(sent.size(), c.last_sent.size());
        EXPECT_TRUE(std::equal(c.last_sent.begin(), c.last_sent.end(), sent.end() - c.last_sent.size()))
            << c.message << ": something was sent after the refusal";
    }
}

TEST_F(BootloaderTransfer, EraseThatNeverCompletesFailsAfterTenPolls)
{
    start_in_bootloader();
    set_faults([](auto &f) { f.erase_never_completes = true; });
    EXPECT_EQ(failing_transfer(image_data(64)), -1);
    EXPECT_EQ(count_of(printed_, "erase not ok!\n"), 10u) << printed_;
    EXPECT_NE(printed_.find("Erase not complete!\n"), std::string::npos);
    EXPECT_EQ(sim().boot_received(), (Bytes{0x21, 0x20, 0x22, 0x01, 0x20, 0x22, 0x04, 0x20, 0x23, 0x20}));
}

TEST(BootloaderTransferInput, EmptyOrMissingImageIsRefusedWithoutOpeningADevice)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(send_update_file(nullptr, 10), -1);
    const uint8_t byte = 0;
    EXPECT_EQ(send_update_file(&byte, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: firmware image is empty, nothing to send!\n"
                                                      "ERROR: firmware image is empty, nothing to send!\n");
}

TEST(BootloaderTransferInput, NoBootloaderDeviceGivesUpAfter26AttemptsAtBothDevices)
{
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART, "/nonexistent/lep3-ttyACM0"), 0);
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART_ALT, "/nonexistent/lep3-ttyACM1"), 0);
    const Bytes image = image_data(64);
    const size_t before = open_descriptor_count();
    testing::internal::CaptureStdout();
    EXPECT_EQ(send_update_file(image.data(), static_cast<uint32_t>(image.size())), -1);
    (void)std::fflush(stdout);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(open_descriptor_count(), before);
    // The bootloader's usual device first, then the application's.
    expect_in_order(printed, {"open /nonexistent/lep3-ttyACM1 failure\n", "open /nonexistent/lep3-ttyACM0 failure\n",
                              "open /nonexistent/lep3-ttyACM1 failure\n"});
    EXPECT_EQ(count_of(printed, "open /nonexistent/lep3-ttyACM1 failure\n"), 26u);
    EXPECT_EQ(count_of(printed, "open /nonexistent/lep3-ttyACM0 failure\n"), 26u);
    EXPECT_TRUE(printed.ends_with("Open uart timeout\n")) << printed;
}
