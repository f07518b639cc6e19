// A bridge played inside the test's own thread, for tests that must be exact about
// timing: the library's writes to uart_fd and the test thread's sleeps are intercepted,
// every request is recorded whole, and each reply is fed straight into the packet parser
// before the write returns or during a chosen sleep of the caller. While a bridge is
// installed the test thread's sleeps take no time, so a full reply wait costs nothing.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace lep3::test {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kGet = 0;
inline constexpr uint8_t kSet = 1;
inline constexpr uint8_t kRun = 2;

struct Request {
    uint16_t id = 0;
    uint8_t type = 0; // kGet, kSet, kRun
    Bytes args;       // word count of a get, payload of a set
    Bytes bytes;      // the packet as written
};

struct Answer {
    Bytes reply;          // fed to the parser; none: the bridge stays silent
    int after_sleeps = 0; // 0: before the write returns; n: during the caller's n-th sleep
};

// A reply packet with its check byte.
Bytes reply_packet(uint16_t id, uint8_t type, const Bytes &data);
// A one-byte status reply to the request.
Answer status_answer(const Request &request, uint8_t status);

class VirtualBridge {
  public:
    VirtualBridge();
    ~VirtualBridge();
    VirtualBridge(const VirtualBridge &) = delete;
    VirtualBridge &operator=(const VirtualBridge &) = delete;

    // The plain camera, answering at once: a get returns the register's bytes cut or
    // zero-padded to the words asked for, a set stores its payload, a run succeeds.
    Answer serve(const Request &request);
    std::vector<Request> requests_for(uint16_t id) const;

    std::function<Answer(const Request &)> answer; // serve unless a test puts its own
    ssize_t write_result = -1;                     // >= 0: what every write reports
    std::map<uint16_t, Bytes> regs;
    std::vector<Request> requests;
    std::vector<useconds_t> sleeps; // the test thread's, in order

    // Called by the interposed write and usleep.
    ssize_t on_write(const uint8_t *bytes, size_t n);
    void on_sleep(useconds_t us);

  private:
    int fd_ = -1;
    int saved_uart_fd_ = -1;
    Answer pending_;
};

} // namespace lep3::test
