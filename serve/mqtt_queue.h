// The messages the MQTT output holds for the broker while it is slow or away. The queue
// is bounded: when it is full the oldest measurement (or health report) makes room, as a
// newer one says more, and dropped measurements are counted. Alarms, state, discovery
// and command results are never dropped, so they may pass the bound (they come seldom:
// one each time something changes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace lep3tool::serve {

enum class MessageKind { measurement, health, alarm, state, discovery, result };

struct OutMessage {
    MessageKind kind = MessageKind::measurement;
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;
};

class MessageQueue {
  public:
    explicit MessageQueue(size_t limit) : limit_(limit) {}

    void push(OutMessage message);
    // A message the client could not take after all goes back to the front.
    void push_front(OutMessage message);
    std::optional<OutMessage> pop();

    size_t size() const;
    // Measurements dropped to keep the bound since the start.
    uint64_t dropped() const;
    // Counts measurements lost elsewhere (with a broken connection) with the dropped ones.
    void count_lost(uint64_t measurements);

  private:
    mutable std::mutex mutex_;
    std::deque<OutMessage> queue_;
    const size_t limit_;
    uint64_t dropped_ = 0;
};

} // namespace lep3tool::serve
