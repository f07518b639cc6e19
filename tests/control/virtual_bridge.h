// A bridge played inside the test's own thread: the library's writes to uart_fd and the
// thread's sleeps are intercepted (virtual_bridge_test.cpp), every request is recorded
// whole, and its reply goes straight into the packet parser before the write returns or
// during the caller's n-th sleep. While a bridge is installed those sleeps take no time.
// Packets are framed by the link tests' helpers, with the emulator's CRC-8, not the library's.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "link/helpers.h"
#include "link/link_internal.h"

namespace lep3::test {

using Bytes = std::vector<uint8_t>;
inline constexpr uint8_t kGet = 0, kSet = 1, kRun = 2;

struct Request {
    uint16_t id;
    uint8_t type;
    Bytes args, bytes; // word count of a get or payload of a set; the packet as written
};

struct Answer {
    Bytes reply;          // empty: the bridge stays silent
    int after_sleeps = 0; // 0: before the write returns; n: during the caller's n-th sleep
};

template <typename T> Bytes bytes_of(const T &v)
{
    return Bytes(reinterpret_cast<const uint8_t *>(&v), reinterpret_cast<const uint8_t *>(&v + 1));
}

inline Answer status_answer(const Request &request, uint8_t status)
{
    return {reply_packet(request.id, request.type, {status})};
}

class VirtualBridge;
inline std::atomic<VirtualBridge *> active_bridge{nullptr};
inline std::thread::id bridge_thread; // written before active_bridge is published

class VirtualBridge {
  public:
    VirtualBridge() : saved_uart_fd_(uart_fd)
    {
        lep3::link::hold_port(1000); // never opened: commands write only to a port held
        bridge_thread = std::this_thread::get_id();
        active_bridge.store(this);
    }
    ~VirtualBridge()
    {
        active_bridge.store(nullptr);
        lep3::link::release_port();
        uart_fd = saved_uart_fd_;
    }

    // The plain camera: a get returns the register cut or zero-padded to the words asked
    // for, a set stores its payload, a run succeeds.
    Answer serve(const Request &request)
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

    ssize_t on_write(const uint8_t *bytes, size_t n)
    {
        requests.push_back({static_cast<uint16_t>(bytes[3] << 8 | bytes[4]), bytes[5], Bytes(bytes + 6, bytes + n - 1),
                            Bytes(bytes, bytes + n)});
        EXPECT_EQ(requests.back().bytes, reply_packet(requests.back().id, bytes[5], requests.back().args));
        if (short_write)
            return static_cast<ssize_t>(n) - 1; // the last byte never left, nothing answers
        pending_ = answer ? answer(requests.back()) : serve(requests.back());
        if (pending_.after_sleeps == 0)
            feed(std::exchange(pending_.reply, {}));
        return static_cast<ssize_t>(n);
    }

    void on_sleep(useconds_t us)
    {
        sleeps.push_back(us);
        if (!pending_.reply.empty() && --pending_.after_sleeps == 0)
            feed(std::exchange(pending_.reply, {}));
    }

    std::function<Answer(const Request &)> answer; // serve unless a test puts its own
    bool short_write = false;
    std::map<uint16_t, Bytes> regs;
    std::vector<Request> requests;
    std::vector<useconds_t> sleeps;

  private:
    static void feed(const Bytes &bytes)
    {
        for (uint8_t b : bytes)
            lep3::link::parse_byte(b);
        // After a check byte of 0xAA the parser would take the next packet's 0xAA as 0x55.
        if (!bytes.empty() && bytes.back() == 0xAA)
            lep3::link::parse_byte(0x00);
    }

    int saved_uart_fd_;
    Answer pending_;
};

} // namespace lep3::test
