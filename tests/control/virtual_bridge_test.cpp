// The in-thread bridge of virtual_bridge.h and the interposed write and usleep it relies
// on. (It lives in a *_test.cpp file because the control suite is built from those.)
// The interposers hand every call on to the next definition unless a bridge is installed
// and the call is the test thread's write to uart_fd or the test thread's sleep.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "link/link_internal.h"
#include "virtual_bridge.h"

namespace lep3::test {
namespace {

std::atomic<VirtualBridge *> active_bridge{nullptr};
std::thread::id bridge_thread; // written before active_bridge is published

constexpr uint8_t kOkStatus = 0;
constexpr size_t kPacketHead = 3; // sync bytes and length byte
constexpr size_t kBodyHead = 3;   // command ID and type

VirtualBridge *bridge_of_this_thread()
{
    VirtualBridge *bridge = active_bridge.load(std::memory_order_acquire);
    if (bridge == nullptr || std::this_thread::get_id() != bridge_thread)
        return nullptr;
    return bridge;
}

} // namespace

std::vector<uint8_t> reply_packet(uint16_t id, uint8_t type, std::span<const uint8_t> data)
{
    std::vector<uint8_t> packet;
    packet.reserve(kPacketHead + kBodyHead + data.size() + 1);
    packet.push_back(lep3::link::kSync0);
    packet.push_back(lep3::link::kSync1);
    packet.push_back(static_cast<uint8_t>(kBodyHead + data.size()));
    packet.push_back(static_cast<uint8_t>(id >> 8));
    packet.push_back(static_cast<uint8_t>(id & 0xFF));
    packet.push_back(type);
    for (uint8_t b : data)
        packet.push_back(b);
    packet.push_back(packet_crc8(packet.data(), packet.size()));
    return packet;
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
    switch (request.type) {
    case kGet: {
        std::vector<uint8_t> data = regs[request.id];
        data.resize(request.args.empty() ? 0 : size_t{2} * request.args[0]);
        return {reply_packet(request.id, kGet, data)};
    }
    case kSet:
        regs[request.id] = request.args;
        return {reply_packet(request.id, kSet, std::vector<uint8_t>{kOkStatus})};
    default:
        return {reply_packet(request.id, request.type, std::vector<uint8_t>{kOkStatus})};
    }
}

std::vector<Request> VirtualBridge::requests_for(uint16_t id) const
{
    std::vector<Request> found;
    for (const Request &request : requests)
        if (request.id == id)
            found.push_back(request);
    return found;
}

size_t VirtualBridge::sleeps_of(useconds_t us) const
{
    size_t n = 0;
    for (useconds_t s : sleeps)
        n += s == us ? 1 : 0;
    return n;
}

ssize_t VirtualBridge::on_write(std::span<const uint8_t> bytes)
{
    Request request;
    request.bytes.assign(bytes.begin(), bytes.end());
    if (bytes.size() >= kPacketHead + kBodyHead + 1) {
        request.id = static_cast<uint16_t>(bytes[3] << 8 | bytes[4]);
        request.type = bytes[5];
        request.args.assign(bytes.begin() + kPacketHead + kBodyHead, bytes.end() - 1);
    }
    requests.push_back(request);
    if (write_result >= 0)
        return write_result;

    Answer reply = answer ? answer(request) : serve(request);
    if (reply.after_sleeps == 0) {
        feed(reply.reply);
    } else {
        pending_ = std::move(reply.reply);
        pending_after_ = reply.after_sleeps;
    }
    return static_cast<ssize_t>(bytes.size());
}

void VirtualBridge::on_sleep(useconds_t us)
{
    sleeps.push_back(us);
    if (!pending_.empty() && --pending_after_ == 0) {
        feed(pending_);
        pending_.clear();
    }
}

void VirtualBridge::feed(const std::vector<uint8_t> &bytes)
{
    for (uint8_t b : bytes)
        lep3::link::parse_byte(b);
    // A check byte of 0xAA leaves the parser expecting 0x55, and the next packet's own
    // 0xAA would then cost that packet. One filler byte puts the parser back to hunting,
    // so a test's choice of data bytes can't lose the following reply.
    if (!bytes.empty() && bytes.back() == lep3::link::kSync0)
        lep3::link::parse_byte(0x00);
}

} // namespace lep3::test

namespace {

// The definitions this file stands in front of: the C library's, or a sanitizer's
// wrapper of them, which must keep seeing every call it would see without this file.
template <typename Fn> Fn next_definition(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" ssize_t write(int fd, const void *buf, size_t n)
{
    lep3::test::VirtualBridge *bridge = lep3::test::bridge_of_this_thread();
    if (bridge != nullptr && fd == uart_fd)
        return bridge->on_write({static_cast<const uint8_t *>(buf), n});
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
