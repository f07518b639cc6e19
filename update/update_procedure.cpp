// The whole firmware update: keep the user RBFO parameter set, restart the bridge into its
// bootloader, take the link down, transfer the image, reopen the restarted firmware, write
// the parameter set back and release the link's queues, publishing progress on the way.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <span>
#include <thread>

#include "link/console.h"
#include "update/update_internal.h"

namespace {

using namespace lep3::update;
using namespace std::chrono_literals;

// Progress values an update passes, in order.
constexpr int32_t kRbfoRead = 5;
constexpr int32_t kBridgeRestarted = 10;
constexpr int32_t kReaderStopped = 15;
constexpr int32_t kImageTransferred = 65;
constexpr int32_t kFirmwareSettled = 75;
constexpr int32_t kNewDeviceOpen = 80;
constexpr int32_t kNewDeviceReady = 85;
constexpr int32_t kRbfoRestored = 95;
constexpr int32_t kDone = 100;

// Failure codes, also left in the progress word.
constexpr int kRbfoReadFailed = -1;
constexpr int kRestartFailed = -2;
constexpr int kTransferFailed = -3;
constexpr int kNewDeviceFailed = -4;
constexpr int kRbfoRestoreFailed = -5;

constexpr int kFlowAttempts = 3;
constexpr int kOpenAttempts = 3;
constexpr int kRbfoWriteAttempts = 6;

constexpr auto kReaderStopPause = 1s;
constexpr auto kFlowRetryPause = 100ms;
constexpr auto kFirmwareStartPause = 2s;
constexpr auto kOpenRetryPause = 50ms;
constexpr auto kRbfoReplyPause = 5ms;
constexpr auto kFinalPause = 3s;

// The set request for the bridge's user RBFO parameter set (command 0x0403, 16 bytes).
constexpr size_t kRbfoCmdSize = 23;
constexpr size_t kRbfoPayloadOffset = 6;
constexpr size_t kRbfoCrcOffset = kRbfoPayloadOffset + sizeof(lep3_rbfo_t);
constexpr uint16_t kUserRbfoId = 0x0403;
constexpr uint8_t kTypeSet = 1;
// Sync, length (ID, type and payload), ID high byte first, type.
constexpr std::array<uint8_t, kRbfoPayloadOffset> kRbfoCmdHead{
    lep3::link::kSync0, lep3::link::kSync1, static_cast<uint8_t>(lep3::link::kReplyHeadBytes + sizeof(lep3_rbfo_t)),
    kUserRbfoId >> 8,   kUserRbfoId & 0xFF, kTypeSet};
static_assert(kRbfoCrcOffset + 1 == kRbfoCmdSize);

// Its answer: a one-byte status reply, taken whole with one read.
constexpr size_t kRbfoReplySize = 8;
constexpr size_t kRbfoReplyStatus = 6;

int fail(int code)
{
    set_rate_of_progress(code);
    return code;
}

// Opens the restarted firmware's device; it comes back where the application was before,
// or on the second device.
Fd open_restarted_firmware()
{
    Fd zero_hold;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        Fd port = open_either(LEP3_GetPath(LEP3_PATH_UART), LEP3_GetPath(LEP3_PATH_UART_ALT), zero_hold);
        if (is_open(port))
            return port;
        std::this_thread::sleep_for(kOpenRetryPause);
    }
    return Fd();
}

bool write_back_rbfo(const Fd &port, std::span<const uint8_t, kRbfoCmdSize> request)
{
    for (int attempt = 0; attempt < kRbfoWriteAttempts; ++attempt) {
        flush_port(port);
        const ssize_t sent = write(port.get(), request.data(), request.size());
        if (sent != static_cast<ssize_t>(request.size())) {
            lep3::console::print("ERROR: send rbfo_cmd error:%d!\n", static_cast<int>(sent));
            continue;
        }
        std::this_thread::sleep_for(kRbfoReplyPause);
        std::array<uint8_t, kRbfoReplySize> reply{};
        const ssize_t got = read_reply(port, reply, kAppReplyTimeLimit);
        if (got != static_cast<ssize_t>(reply.size())) {
            lep3::console::print("rbfo_cmd no reply, result=%d!\n", static_cast<int>(got));
            continue;
        }
        lep3::console::print("rbfo_cmd reply:");
        for (const uint8_t byte : reply)
            lep3::console::print("%02x ", unsigned{byte});
        lep3::console::print("\n");
        if (reply[0] == lep3::link::kSync0 && reply[1] == lep3::link::kSync1 && reply[kRbfoReplyStatus] == 0)
            return true;
        lep3::console::put_line("get rbfo_cmd reply error!");
    }
    return false;
}

} // namespace

extern "C" LEP3_API int LEP3_UpdateSAMG55(pthread_t reader_thread)
{
    lep3_rbfo_t rbfo{};
    std::array<uint8_t, kRbfoCmdSize> rbfo_cmd{};
    std::copy(kRbfoCmdHead.begin(), kRbfoCmdHead.end(), rbfo_cmd.begin());

    if (LEP3_GetUserRBFO(&rbfo) < 0) {
        lep3::console::put_line("ERROR: Get RBFO parameter before update SAMG55 failed!");
        return fail(kRbfoReadFailed);
    }
    set_rate_of_progress(kRbfoRead);

    if (!bridge_accepts_restart()) {
        lep3::console::print("Reset SAMG55 failed!");
        return fail(kRestartFailed);
    }
    // Nothing may read the bridge's devices while the bootloader is spoken to: the reader
    // loop ends at its next cancellation point (its blocking read is one). The descriptor
    // is closed once the loop has gone, so no read can still use it or reach another file
    // that reuses its number.
    pthread_cancel(reader_thread);
    lep3::link::wait_for_readers_gone(kReaderStopPause);
    lep3::link::release_port();
    set_rate_of_progress(kBridgeRestarted);
    std::this_thread::sleep_for(kReaderStopPause);
    set_rate_of_progress(kReaderStopped);

    bool transferred = false;
    for (int attempt = 0; attempt < kFlowAttempts && !transferred; ++attempt) {
        transferred = update_flow() == 0;
        if (!transferred)
            std::this_thread::sleep_for(kFlowRetryPause);
    }
    if (!transferred) {
        lep3::console::put_line("ERROR: update_flow failed!");
        return fail(kTransferFailed);
    }
    set_rate_of_progress(kImageTransferred);
    std::this_thread::sleep_for(kFirmwareStartPause);
    set_rate_of_progress(kFirmwareSettled);

    Fd port = open_restarted_firmware();
    if (!is_open(port)) {
        lep3::console::put_line("Open new uart timeout");
        return fail(kNewDeviceFailed);
    }
    set_rate_of_progress(kNewDeviceOpen);
    if (set_uart_speed(port.get(), lep3::link::kBaud) != 0) {
        port.reset();
        lep3::console::put_line("Set new uart speed failed");
        return fail(kNewDeviceFailed);
    }
    if (set_Parity(port.get(), lep3::link::kDataBits, lep3::link::kStopBits, kNoParity) != 0) {
        port.reset();
        lep3::console::put_line("Set new uart parity failed");
        return fail(kNewDeviceFailed);
    }
    flush_port(port);
    set_rate_of_progress(kNewDeviceReady);

    std::memcpy(rbfo_cmd.data() + kRbfoPayloadOffset, &rbfo, sizeof(rbfo));
    rbfo_cmd[kRbfoCrcOffset] = packet_crc8(rbfo_cmd.data(), kRbfoCrcOffset);
    if (!write_back_rbfo(port, rbfo_cmd)) {
        port.reset();
        lep3::console::put_line("ERROR: Recover RBFO parameter after update SAMG55 failed!");
        return fail(kRbfoRestoreFailed);
    }
    lep3::console::put_line("get rbfo_cmd reply!");
    port.reset();
    set_rate_of_progress(kRbfoRestored);

    // The link is left as after LEP3_Destroy: the host initialises it again.
    queue_clear(&uart_queue);
    frame_queue_free(&frame_queue);
    set_rate_of_progress(kDone);
    std::this_thread::sleep_for(kFinalPause);
    return 0;
}
