// One complete transfer of an application image to the bridge's bootloader: open its
// device, synchronise, read its version and flash size, erase, program in 64-byte blocks,
// compare CRCs and start the application. Every step has fixed pauses and no other pacing.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <span>
#include <thread>

#include "link/console.h"
#include "update/update_internal.h"

namespace {

using namespace lep3::update;
using namespace std::chrono_literals;

// Bootloader commands: opcode, parameter bytes, end byte 0x20.
constexpr uint8_t kCommandEnd = 0x20;
constexpr std::array<uint8_t, 2> kSyncCmd{0x21, kCommandEnd};
constexpr std::array<uint8_t, 3> kGetBootloaderVerCmd{0x22, 0x01, kCommandEnd};
constexpr std::array<uint8_t, 3> kGetFlashSizeCmd{0x22, 0x04, kCommandEnd};
constexpr std::array<uint8_t, 2> kEraseCmd{0x23, kCommandEnd};
constexpr std::array<uint8_t, 2> kGetCrcCmd{0x29, kCommandEnd};
constexpr std::array<uint8_t, 2> kBootAppCmd{0x30, kCommandEnd};

// Bytes asked for by each reply read.
constexpr size_t kAckReplySize = 2;
constexpr size_t kVersionReplySize = 3;
constexpr size_t kFlashSizeReplySize = 6;
constexpr size_t kCrcReplySize = 6;
constexpr uint8_t kAck0 = 0x12;
constexpr uint8_t kAck1 = 0x10;

constexpr int kOpenAttempts = 26;
constexpr int kSyncTries = 10;
constexpr int kErasePolls = 10;

constexpr auto kOpenRetryPause = 250ms;
constexpr auto kShortReplyPause = 5ms; // sync, version and flash size
constexpr auto kSyncRefusedPause = 500ms;
constexpr auto kErasePollPause = 500ms;
constexpr auto kBlockReplyPause = 10ms;
constexpr auto kCrcReplyPause = 500ms;
constexpr auto kBootReplyPause = 50ms;

// Data blocks: opcode, count n, n image bytes, end byte. All blocks but the last carry 64
// bytes; the last carries the rest (1 to 63), if any.
constexpr uint8_t kDataBlockOpcode = 0x27;
constexpr size_t kBlockPayload = 64;
constexpr size_t kBlockOverhead = 3;
constexpr size_t kMaxBlockSize = kBlockPayload + kBlockOverhead;

size_t build_data_block(std::span<const uint8_t> chunk, std::span<uint8_t, kMaxBlockSize> out)
{
    out[0] = kDataBlockOpcode;
    out[1] = static_cast<uint8_t>(chunk.size());
    std::copy(chunk.begin(), chunk.end(), out.begin() + 2);
    out[chunk.size() + 2] = kCommandEnd;
    return chunk.size() + kBlockOverhead;
}

// The per cent shown after a full block counts the blocks acknowledged before it, in
// single precision cut toward zero (the first of three shows 00, the second 33).
int block_progress_percent(size_t blocks_before, size_t full_blocks)
{
    return static_cast<int>(static_cast<float>(blocks_before * 100) / static_cast<float>(full_blocks));
}

uint32_t little_endian32(std::span<const uint8_t, 4> bytes)
{
    return bytes[0] | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

class Transfer {
  public:
    explicit Transfer(std::span<const uint8_t> image) : image_(image) {}
    int run();

  private:
    bool open_device();
    bool synchronise();
    int read_identity();
    int erase();
    int program();
    int verify();
    int boot();

    // Every failure after the device is open closes it; the step has printed its message.
    int fail()
    {
        port_.reset();
        return -1;
    }
    ssize_t send(std::span<const uint8_t> bytes) const { return write(port_.get(), bytes.data(), bytes.size()); }
    // One read after a fixed pause; the reply buffer keeps whatever earlier reads left.
    ssize_t await_reply(std::chrono::milliseconds pause, size_t size)
    {
        transfer_pause(pause);
        return read_reply(port_, std::span(reply_).first(size));
    }
    bool acknowledged() const { return reply_[0] == kAck0 && reply_[1] == kAck1; }

    std::span<const uint8_t> image_;
    Fd port_;
    std::array<uint8_t, 6> reply_{};
    uint32_t flash_size_ = 0;
};

int Transfer::run()
{
    if (image_.empty()) {
        // Nothing to program: refuse before the bootloader erases the running firmware.
        lep3::console::put_line("ERROR: firmware image is empty, nothing to send!");
        return -1;
    }
    if (!open_device()) {
        lep3::console::put_line("Open uart timeout");
        return -1;
    }
    if (set_uart_speed(port_.get(), lep3::link::kBaud) != 0) {
        lep3::console::put_line("Set uart speed failed");
        return fail();
    }
    if (set_Parity(port_.get(), lep3::link::kDataBits, lep3::link::kStopBits, kNoParity) != 0) {
        lep3::console::put_line("Set uart parity failed");
        return fail();
    }
    flush_port(port_);
    lep3::console::print("LEP_Uart inited,fd=%d\n", port_.get());

    if (!synchronise())
        return fail();
    lep3::console::put_line("sync ok!");
    lep3::console::put_line("Connected to bootloader");

    for (int (Transfer::*step)() :
         {&Transfer::read_identity, &Transfer::erase, &Transfer::program, &Transfer::verify, &Transfer::boot}) {
        if ((this->*step)() != 0)
            return -1;
    }
    return 0;
}

bool Transfer::open_device()
{
    // The bootloader enumerates as the second device while the first may still be gone.
    Fd zero_hold;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        port_ = open_either(LEP3_GetPath(LEP3_PATH_UART_ALT), LEP3_GetPath(LEP3_PATH_UART), zero_hold);
        if (is_open(port_))
            return true;
        transfer_pause(kOpenRetryPause);
    }
    return false;
}

bool Transfer::synchronise()
{
    for (int left = kSyncTries; left > 0; --left) {
        flush_port(port_);
        lep3::console::print("sync_cmd send,try=%d!\n", left);
        const ssize_t sent = send(kSyncCmd);
        lep3::console::print("sync_cmd send %d bytes\n", static_cast<int>(sent));
        if (sent != static_cast<ssize_t>(kSyncCmd.size())) {
            lep3::console::print("ERROR: send sync_cmd error:%d!\n", static_cast<int>(sent));
            continue;
        }
        if (await_reply(kShortReplyPause, kAckReplySize) <= 0) {
            lep3::console::put_line("sync_cmd reply error!");
            continue;
        }
        if (acknowledged())
            return true;
        lep3::console::print("sync_cmd not ack,try=%d!\n", left);
        transfer_pause(kSyncRefusedPause);
    }
    return false;
}

int Transfer::read_identity()
{
    ssize_t sent = send(kGetBootloaderVerCmd);
    if (sent != static_cast<ssize_t>(kGetBootloaderVerCmd.size())) {
        lep3::console::print("ERROR: send get_bootloader_ver_cmd error:%d!\n", static_cast<int>(sent));
        return fail();
    }
    if (await_reply(kShortReplyPause, kVersionReplySize) <= 0) {
        lep3::console::put_line("get_bootloader_ver_cmd reply error!");
        return fail();
    }
    lep3::console::print("bootloader ver: %u\n", unsigned{reply_[0]});

    sent = send(kGetFlashSizeCmd);
    if (sent != static_cast<ssize_t>(kGetFlashSizeCmd.size())) {
        lep3::console::print("ERROR: send get_flash_size_cmd error:%d!\n", static_cast<int>(sent));
        return fail();
    }
    if (await_reply(kShortReplyPause, kFlashSizeReplySize) <= 0) {
        lep3::console::put_line("get_flash_size_cmd reply error!");
        return fail();
    }
    flash_size_ = little_endian32(std::span(reply_).first<4>());
    lep3::console::print("flash size: %u\n", flash_size_);
    if (image_.size() > flash_size_) {
        // An image that can't fit is refused while the old firmware is still intact.
        lep3::console::print("ERROR: firmware image of %zu bytes exceeds flash size %u!\n", image_.size(), flash_size_);
        return fail();
    }
    return 0;
}

int Transfer::erase()
{
    lep3::console::put_line("Erasing previous program...");
    const ssize_t sent = send(kEraseCmd);
    if (sent != static_cast<ssize_t>(kEraseCmd.size())) {
        lep3::console::print("ERROR: send erase_cmd error:%d!\n", static_cast<int>(sent));
        return fail();
    }
    // Erasing takes the bootloader a while; it answers each poll until it is done.
    for (int poll = 0; poll < kErasePolls; ++poll) {
        if (await_reply(kErasePollPause, kAckReplySize) <= 0) {
            lep3::console::put_line("erase_cmd reply error!");
        } else if (acknowledged()) {
            lep3::console::put_line("erase ok!");
            lep3::console::put_line("Erase complete!");
            return 0;
        } else {
            lep3::console::put_line("erase not ok!");
        }
    }
    lep3::console::put_line("Erase not complete!");
    return fail();
}

int Transfer::program()
{
    lep3::console::put_line("Programming new version...");
    const size_t full_blocks = image_.size() / kBlockPayload;
    const size_t short_length = image_.size() % kBlockPayload;
    const size_t blocks = full_blocks + (short_length != 0 ? 1 : 0);
    std::array<uint8_t, kMaxBlockSize> block{};
    note_blocks(0, static_cast<uint32_t>(blocks));
    for (size_t k = 0; k < blocks; ++k) {
        // Full blocks in image order, then the short rest, if any.
        const bool full = k < full_blocks;
        const auto chunk = full ? image_.subspan(k * kBlockPayload, kBlockPayload) : image_.last(short_length);
        const size_t size = build_data_block(chunk, block);
        const ssize_t sent = send(std::span(block).first(size));
        if (sent != static_cast<ssize_t>(size)) {
            lep3::console::print("ERROR: send file content error:%d!\n", static_cast<int>(sent));
            return fail();
        }
        if (await_reply(kBlockReplyPause, kAckReplySize) <= 0) {
            lep3::console::put_line("send file content reply error!");
            return fail();
        }
        if (!acknowledged()) {
            lep3::console::put_line(full ? "send 64 dat not ack!" : "send less 64 dat not ack!");
            return fail();
        }
        note_blocks(static_cast<uint32_t>(k + 1), static_cast<uint32_t>(blocks));
        if (full)
            lep3::console::print("progress_val:%02d%%\r", block_progress_percent(k, full_blocks));
        else
            lep3::console::put_line("send less 64 dat ack!");
    }
    lep3::console::put_line("send file dat ok!");
    lep3::console::print("progress_val:100%%\n");
    lep3::console::put_line("Program complete!");
    return 0;
}

int Transfer::verify()
{
    lep3::console::put_line("Verifying program...");
    uint32_t crc = crc32_update(0, image_, kImageMask);
    lep3::console::print("buf[0]:%02x\r\n", unsigned{image_.front()});
    lep3::console::print("buf[file_len-1]:%02x,%d\r\n", unsigned{image_.back()}, static_cast<int>(image_.size()));
    lep3::console::print("crc32:%x\r\n", crc);
    // The bootloader checks its whole flash: the rest beyond the image reads as erased.
    if (flash_size_ > image_.size())
        crc = crc32_fill(crc, kErasedFlashByte, flash_size_ - image_.size());

    const ssize_t sent = send(kGetCrcCmd);
    if (sent != static_cast<ssize_t>(kGetCrcCmd.size())) {
        lep3::console::print("ERROR: send get_crc_cmd error:%d!\n", static_cast<int>(sent));
        return fail();
    }
    if (await_reply(kCrcReplyPause, kCrcReplySize) <= 0) {
        lep3::console::put_line("get_crc_cmd reply error!");
        return fail();
    }
    lep3::console::print("get crc:%02x %02x %02x %02x\r\n", unsigned{reply_[0]}, unsigned{reply_[1]},
                         unsigned{reply_[2]}, unsigned{reply_[3]});
    lep3::console::print("calc crc:%02x %02x %02x %02x\r\n", crc & 0xFFu, (crc >> 8) & 0xFFu, (crc >> 16) & 0xFFu,
                         crc >> 24);
    if (little_endian32(std::span(reply_).first<4>()) != crc) {
        lep3::console::put_line("Check crc32 err");
        return fail();
    }
    lep3::console::put_line("Verify complete");
    lep3::console::put_line("Upgrade complete");
    return 0;
}

int Transfer::boot()
{
    lep3::console::put_line("Boot app...");
    const ssize_t sent = send(kBootAppCmd);
    if (sent != static_cast<ssize_t>(kBootAppCmd.size())) {
        lep3::console::print("ERROR: send boot_app_cmd error:%d!\n", static_cast<int>(sent));
        return fail();
    }
    if (await_reply(kBootReplyPause, kAckReplySize) <= 0) {
        lep3::console::put_line("boot_app_cmd reply error!");
        return fail();
    }
    if (!acknowledged()) {
        lep3::console::put_line("Boot app err!");
        return fail();
    }
    lep3::console::put_line("App is running...");
    port_.reset();
    return 0;
}

} // namespace

extern "C" LEP3_API int send_update_file(const uint8_t *image, uint32_t len)
{
    if (image == nullptr)
        len = 0;
    return Transfer(std::span(image, len)).run();
}

namespace lep3::update {

namespace {

void real_pause(std::chrono::milliseconds pause)
{
    std::this_thread::sleep_for(pause);
}

std::atomic<PauseFunction> pause_function{real_pause};

} // namespace

void set_transfer_pause(PauseFunction pause)
{
    pause_function.store(pause != nullptr ? pause : real_pause);
}

void transfer_pause(std::chrono::milliseconds pause)
{
    pause_function.load()(pause);
}

} // namespace lep3::update
