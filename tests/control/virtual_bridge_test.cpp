// The in-thread bridge of virtual_bridge.h and the interposed write and usleep it relies
// on (in a *_test.cpp file because the control suite is built from those). Every call
// goes on to the next definition (the C library's, or a sanitizer's wrapper of it) unless
// a bridge is installed and it is the test thread's write to uart_fd or sleep.
#include <dlfcn.h>
#include <fcntl.h>

#include <atomic>
#include <thread>
#include <utility>

#include "link/link_internal.h"
#include "virtual_bridge.h"

namespace lep3::test {
namespace {

std::atomic<VirtualBridge *> active_bridge{nullptr};
std::thread::id bridge_thread; // written before active_bridge is published

constexpr size_t kRequestHead = 6; // sync, length, command ID, type

void feed(const Bytes &bytes)
{
    for (uint8_t b : bytes)
        lep3::link::parse_byte(b);
    // A check byte of 0xAA leaves the parser expecting 0x55, so the next packet's 0xAA
    // would cost that packet; one filler byte sends the parser back to hunting.
    if (!bytes.empty() && bytes.back() == lep3::link::kSync0)
        lep3::link::parse_byte(0x00);
}

VirtualBridge *bridge_of_this_thread()
{
    VirtualBridge *bridge = active_bridge.load(std::memory_order_acquire);
    return bridge != nullptr && std::this_thread::get_id() == bridge_thread ? bridge : nullptr;
}

} // namespace

Bytes reply_packet(uint16_t id, uint8_t type, const Bytes &data)
{
    Bytes packet{lep3::link::kSync0, lep3::link::kSync1};
    packet.push_back(static_cast<uint8_t>(3 + data.size()));
    packet.push_back(static_cast<uint8_t>(id >> 8));
    packet.push_back(static_cast<uint8_t>(id & 0xFF));
    packet.push_back(type);
    for (uint8_t b : data)
        packet.push_back(b);
    packet.push_back(packet_crc8(packet.data(), packet.size()));
    return packet;
}

Answer status_answer(const Request &request, uint8_t status)
{
    return {reply_packet(request.id, request.type, {status})};
}

VirtualBridge::VirtualBridge()
{
    fd_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    saved_uart_fd_ = uart_fd;
    uart_fd = fd_;
    bridge_thread = std::this_thread::get_id();
    active_bridge.store(this, std::memory_order_release);
}

VirtualBridge::~VirtualBridge()
{
    active_bridge.store(nullptr, std::memory_order_release);
    uart_fd = saved_uart_fd_;
    ::close(fd_);
}

Answer VirtualBridge::serve(const Request &request)
{
    if (request.type == kGet) {
        Bytes data = regs[request.id];
        data.resize(size_t{2} * request.args.at(0));
        return {reply_packet(request.id, kGet, data)};
    }
    if (request.type == kSet)
        regs[request.id] = request.args;
    return status_answer(request, 0);
}

std::vector<Request> VirtualBridge::requests_for(uint16_t id) const
{
    std::vector<Request> found;
    for (const Request &request : requests)
        if (request.id == id)
            found.push_back(request);
    return found;
}

ssize_t VirtualBridge::on_write(const uint8_t *bytes, size_t n)
{
    Request request{static_cast<uint16_t>(bytes[3] << 8 | bytes[4]), bytes[5],
                    Bytes(bytes + kRequestHead, bytes + n - 1), Bytes(bytes, bytes + n)};
    requests.push_back(request);
    if (write_result >= 0)
        return write_result;
    Answer reply = answer ? answer(request) : serve(request);
    if (reply.after_sleeps == 0)
        feed(reply.reply);
    else
        pending_ = std::move(reply);
    return static_cast<ssize_t>(n);
}

void VirtualBridge::on_sleep(useconds_t us)
{
    sleeps.push_back(us);
    if (!pending_.reply.empty() && --pending_.after_sleeps == 0)
        feed(std::exchange(pending_.reply, {}));
}

} // namespace lep3::test

namespace {

template <typename Fn> Fn next_definition(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" ssize_t write(int fd, const void *buf, size_t n)
{
    lep3::test::VirtualBridge *bridge = lep3::test::bridge_of_this_thread();
    if (bridge != nullptr && fd == uart_fd)
        return bridge->on_write(static_cast<const uint8_t *>(buf), n);
    static const auto next = next_definition<ssize_t (*)(int, const void *, size_t)>("write");
    return next(fd, buf, n);
}

extern "C" int usleep(useconds_t us)
{
    if (lep3::test::VirtualBridge *bridge = lep3::test::bridge_of_this_thread()) {
        bridge->on_sleep(us);
        return 0;
    }
    static const auto next = next_definition<int (*)(useconds_t)>("usleep");
    return next(us);
}
