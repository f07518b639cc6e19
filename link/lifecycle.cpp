// The link's front door: LEP3_Init opens and configures the port to the bridge and sets
// up the queues and palette tables; LEP3_Destroy releases them; the video requests ask
// the bridge for raw or RGB frame packets.
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <utility>

#include "link/console.h"
#include "link/link_internal.h"
#include "render/render_internal.h"

using namespace lep3::link;

extern "C" {
// Zero at load like every link global; the port record below says whether it is the library's.
LEP3_API int uart_fd;
}

namespace lep3::link {

namespace {

// The descriptor the library opened and has not closed yet, or -1. Written by LEP3_Init,
// LEP3_Destroy, the firmware update and the session, read by commands and video requests
// of any host thread; port_lock keeps a write and the close apart.
std::mutex port_lock;
int held_port = -1;

std::atomic<bool> gone{false};

} // namespace

void hold_port(int fd)
{
    const std::lock_guard<std::mutex> hold(port_lock);
    uart_fd = fd;
    held_port = fd;
}

void release_port()
{
    const std::lock_guard<std::mutex> hold(port_lock);
    close_uart(std::exchange(held_port, -1));
}

ssize_t write_port(std::span<const uint8_t> bytes)
{
    // A write to a vanished device fails at once (the terminal is hung up), so the lock is
    // never held for long; the close waits for it.
    const std::lock_guard<std::mutex> hold(port_lock);
    if (held_port < 0) {
        errno = EBADF;
        return -1;
    }
    return write(held_port, bytes.data(), bytes.size());
}

void set_bridge_gone(bool now_gone)
{
    gone.store(now_gone, std::memory_order_release);
}

bool bridge_gone()
{
    return gone.load(std::memory_order_acquire);
}

} // namespace lep3::link

namespace {

constexpr uint8_t kVideoRequestLength = 2; // L counts the tag and the mode byte
constexpr size_t kVideoRequestBytes = 6;

bool configure_port(int fd)
{
    return set_uart_speed(fd, kBaud) == 0 && set_Parity(fd, kDataBits, kStopBits, 'n') == 0;
}

// AA 55 02 04 mode CRC: the request that switches the bridge's stream to one form. Without
// a port of its own the library writes nothing, and reports it as a failed write.
ssize_t send_video_request(uint8_t mode)
{
    std::array<uint8_t, kVideoRequestBytes> packet{kSync0, kSync1, kVideoRequestLength, kFrameTag, mode, 0};
    packet.back() = packet_crc8(packet.data(), packet.size() - 1);
    return write_port(packet);
}

bool written_whole(ssize_t n)
{
    return n == static_cast<ssize_t>(kVideoRequestBytes);
}

// What an earlier LEP3_Init (or a failed firmware update) left: the port, the byte queue's
// storage and the frame slots. Each release is a no-op on what is already released.
void release_link()
{
    release_port();
    queue_clear(&uart_queue);
    frame_queue_free(&frame_queue);
}

std::atomic<int32_t> requested_video{-1};

} // namespace

int32_t lep3::link::last_video_request()
{
    return requested_video.load(std::memory_order_relaxed);
}

void lep3::link::forget_video_request()
{
    requested_video.store(-1, std::memory_order_relaxed);
}

extern "C" LEP3_API int LEP3_Init(void)
{
    // A second LEP3_Init without LEP3_Destroy starts from a released link, so nothing of
    // the first one stays open or allocated.
    release_link();

    Fd port(open_uart(LEP3_GetPath(LEP3_PATH_UART)));
    if (!port.valid())
        lep3::console::put_line("Can't open uart port!");
    if (!port.valid() || !configure_port(port.get())) {
        port.reset(); // closed before the failure is reported
        uart_fd = -1;
        lep3::console::put_line("Uart init failed!");
        return -1;
    }
    lep3::console::print("LEP_Uart inited,fd=%d\n", port.get());
    hold_port(port.release());

    if (queue_init(&uart_queue, kUartQueueBytes) != 0) {
        lep3::console::put_line("Init cir queue failed!");
        return -1;
    }
    if (frame_queue_init(&frame_queue, static_cast<int32_t>(kRgbFrameBytes), kFrameHeight, kFrameWidth) != 0) {
        lep3::console::put_line("Init frame queue failed!");
        return -1;
    }
    frame_desc = frame_desc_t{0, kFormatRaw, kFrameWidth, kFrameHeight, kGray8FrameBytes, 0};
    lep3::render::fill_exported_palettes();
    return 0;
}

extern "C" LEP3_API void LEP3_Destroy(void)
{
    // uart_fd keeps its value; only a port the library still holds is closed.
    release_link();
}

extern "C" LEP3_API int LEP3_GetRawVideo(void)
{
    const ssize_t n = send_video_request(kModeRaw);
    if (!written_whole(n)) {
        lep3::console::print("LEP3_GetRawVideo: send command error:%d!\n", static_cast<int>(n));
        return -1;
    }
    requested_video.store(kModeRaw, std::memory_order_relaxed);
    return 0;
}

extern "C" LEP3_API int LEP3_GetRGBVideo(void)
{
    const ssize_t n = send_video_request(kModeRgb);
    if (!written_whole(n)) {
        lep3::console::print("LEP3_GetRGBVideo: send command error:%d!\n", static_cast<int>(n));
        return -1;
    }
    requested_video.store(kModeRgb, std::memory_order_relaxed);
    return 0;
}
