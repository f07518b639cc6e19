// A bridge played inside the test's own thread, for transaction-level tests that must be
// exact about timing: the library's writes to uart_fd and the test thread's sleeps are
// intercepted, every request is recorded whole, and each reply is fed straight into the
// packet parser either before the write returns or during a chosen sleep of the caller.
// While a bridge is installed the test thread's sleeps take no time, so a full reply wait
// costs nothing; other threads and other descriptors are untouched.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <vector>

namespace lep3::test {

struct Request {
    uint16_t id = 0;
    uint8_t type = 0;           // 0 get, 1 set, 2 run
    std::vector<uint8_t> args;  // word count of a get, payload of a set
    std::vector<uint8_t> bytes; // the packet as written
};

// What the bridge does with one request.
struct Answer {
    std::vector<uint8_t> reply; // bytes fed to the parser; none: the bridge stays silent
    int after_sleeps = 0;       // 0: before the write returns; n: during the caller's n-th sleep
};

inline constexpr uint8_t kGet = 0;
inline constexpr uint8_t kSet = 1;
inline constexpr uint8_t kRun = 2;

// A reply packet with its check byte.
std::vector<uint8_t> reply_packet(uint16_t id, uint8_t type, std::span<const uint8_t> data);

class VirtualBridge {
  public:
    VirtualBridge();
    ~VirtualBridge();
    VirtualBridge(const VirtualBridge &) = delete;
    VirtualBridge &operator=(const VirtualBridge &) = delete;

    // The plain camera: a get returns the register's bytes (zero-padded to the words asked
    // for), a set stores its payload, a run succeeds; each answered at once.
    Answer serve(const Request &request);

    // Decides each answer; serve unless a test puts its own in place.
    std::function<Answer(const Request &)> answer;
    // >= 0: every write reports this many bytes written.
    ssize_t write_result = -1;

    std::map<uint16_t, std::vector<uint8_t>> regs;
    std::vector<Request> requests;
    std::vector<useconds_t> sleeps; // every sleep of the test thread, in order

    // Requests for one command ID, in order.
    std::vector<Request> requests_for(uint16_t id) const;
    // Sleeps of exactly this length.
    size_t sleeps_of(useconds_t us) const;

    // Called by the interposed write and usleep.
    ssize_t on_write(std::span<const uint8_t> bytes);
    void on_sleep(useconds_t us);

  private:
    void feed(const std::vector<uint8_t> &bytes);

    int fd_ = -1;
    int saved_uart_fd_ = -1;
    std::vector<uint8_t> pending_;
    int pending_after_ = 0;
};

} // namespace lep3::test
