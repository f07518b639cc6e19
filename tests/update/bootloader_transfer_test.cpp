// One transfer to the emulated bootloader: the bytes on the wire, the console lines, and
// each way the bootloader can refuse, every one ending with the device closed.
#include "update_support.h"

using namespace lep3::test;

namespace {

// Sync, version, flash size and erase commands, written before any data block.
const Bytes kBeforeData = {0x21, 0x20, 0x22, 0x01, 0x20, 0x22, 0x04, 0x20, 0x23, 0x20};

// What the host must write for a whole transfer of image, after what wire holds.
Bytes transfer_bytes(const Bytes &image, Bytes wire = {})
{
    wire.insert(wire.end(), kBeforeData.begin(), kBeforeData.end());
    for (size_t at = 0; at < image.size(); at += 64) {
        const auto n = static_cast<std::ptrdiff_t>(std::min<size_t>(64, image.size() - at));
        wire.insert(wire.end(), {0x27, static_cast<uint8_t>(n)});
        const auto from = image.begin() + static_cast<std::ptrdiff_t>(at);
        wire.insert(wire.end(), from, from + n);
        wire.push_back(0x20);
    }
    wire.insert(wire.end(), {0x29, 0x20, 0x30, 0x20});
    return wire;
}

} // namespace

struct BootloaderTransfer : BridgeFixture {
    void SetUp() override
    {
        lep3::sim::Options options;
        options.flash_size = flash_size_;
        start(options);
        enter_bootloader();
    }

    // Whether it fails or not, a transfer must close the device it opened.
    int transfer(const Bytes &image)
    {
        sim().clear_requests();
        const size_t before = open_descriptors();
        const int result =
            captured(printed_, [&] { return send_update_file(image.data(), static_cast<uint32_t>(image.size())); });
        EXPECT_EQ(open_descriptors(), before) << "descriptor leaked";
        return result;
    }

    uint32_t flash_size_ = 262144;
};

TEST_F(BootloaderTransfer, WritesEveryCommandAndBlockAndTheFlashHoldsTheImage)
{
    const Bytes image = image_data(130);
    ASSERT_EQ(transfer(image), 0) << printed_;
    EXPECT_EQ(sim().boot_received(), transfer_bytes(image));
    EXPECT_EQ(sim().programmed_image(), image);

    expect_in_order(printed_,
                    {"sync_cmd send,try=10!\nsync_cmd send 2 bytes\nsync ok!\nConnected to bootloader\n",
                     "bootloader ver: 3\nflash size: 262144\nErasing previous program...\n",
                     "erase ok!\nErase complete!\nProgramming new version...\nprogress_val:00%\rprogress_val:50%\r",
                     "send less 64 dat ack!\nsend file dat ok!\nprogress_val:100%\nProgram complete!\n",
                     "Verifying program...\n",
                     "get crc:", "calc crc:", "Verify complete\nUpgrade complete\nBoot app...\nApp is running...\n"});
    // Both CRC lines show the same four bytes.
    EXPECT_EQ(printed_.substr(printed_.find("get crc:") + 8, 11), printed_.substr(printed_.find("calc crc:") + 9, 11));
}

TEST_F(BootloaderTransfer, RefusedSyncsAreRetriedAndOneByteGoesAsOneShortBlock)
{
    set_faults([](auto &f) { f.refuse_sync = 2; });
    const Bytes image = {0x5A};
    ASSERT_EQ(transfer(image), 0) << printed_;
    expect_in_order(printed_, {"sync_cmd send,try=10!\n", "sync_cmd not ack,try=10!\n", "sync_cmd send,try=9!\n",
                               "sync_cmd not ack,try=9!\n", "sync_cmd send,try=8!\n", "sync ok!\n",
                               "send less 64 dat ack!\n", "progress_val:100%\n"});
    EXPECT_EQ(printed_.find("%\r"), std::string::npos) << "a full-block progress line for a 1-byte image";
    EXPECT_EQ(sim().boot_received(), transfer_bytes(image, {0x21, 0x20, 0x21, 0x20}));
    EXPECT_EQ(sim().programmed_image(), image);
}

struct SmallFlashTransfer : BootloaderTransfer {
    SmallFlashTransfer() { flash_size_ = 128; }
};

TEST_F(SmallFlashTransfer, ImageLargerThanTheFlashIsRefusedBeforeTheEraseAndAnExactFitNeedsNoPadding)
{
    EXPECT_EQ(transfer(image_data(130)), -1);
    expect_in_order(printed_, {"exceeds flash size 128"});
    EXPECT_EQ(sim().boot_received(), Bytes(kBeforeData.begin(), kBeforeData.end() - 2));

    const Bytes image = image_data(128);
    ASSERT_EQ(transfer(image), 0) << printed_;
    EXPECT_EQ(sim().boot_received(), transfer_bytes(image));
    EXPECT_EQ(printed_.find("send less 64 dat"), std::string::npos);
}

TEST_F(BootloaderTransfer, EachRefusalFailsTheTransferAtOnceWithItsMessage)
{
    const Bytes image = image_data(130);
    const struct { // every one ends the transfer at once
        std::function<void(lep3::sim::Faults &)> fault;
        const char *message;
        Bytes last_sent; // the transfer stops after this command
    } cases[] = {
        {[](auto &f) { f.refuse_block = 1; }, "send 64 dat not ack!\n", {0x20}},
        {[](auto &f) { f.refuse_block = 2; }, "send less 64 dat not ack!\n", {image[128], image[129], 0x20}},
        {[](auto &f) { f.drop_block_ack = 0; }, "send file content reply error!\n", {0x20}},
        {[](auto &f) { f.wrong_crc = true; }, "Check crc32 err\n", {0x29, 0x20}},
        {[](auto &f) { f.refuse_boot = true; }, "Boot app err!\n", {0x30, 0x20}},
        {[](auto &f) { f.erase_never_completes = true; }, "erase not ok!\nErase not complete!\n", kBeforeData},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        set_faults([&c](lep3::sim::Faults &f) { c.fault(f = lep3::sim::Faults{}); });
        EXPECT_EQ(transfer(image), -1);
        expect_in_order(printed_, {c.message});
        const Bytes sent = sim().boot_received();
        ASSERT_GE(sent.size(), c.last_sent.size());
        EXPECT_TRUE(std::equal(c.last_sent.begin(), c.last_sent.end(), sent.end() - c.last_sent.size()))
            << "something was sent after the refusal";
    }
}
