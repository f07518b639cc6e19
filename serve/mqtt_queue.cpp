#include "serve/mqtt_queue.h"

#include <algorithm>
#include <utility>

namespace lep3tool::serve {

namespace {

// Superseded by the next of their kind: what may make room.
bool droppable(const OutMessage &m)
{
    return m.kind == MessageKind::measurement || m.kind == MessageKind::health;
}

} // namespace

void MessageQueue::push(OutMessage message)
{
    const std::lock_guard lock(mutex_);
    if (queue_.size() >= limit_) {
        const auto oldest = std::find_if(queue_.begin(), queue_.end(), droppable);
        if (oldest != queue_.end()) {
            dropped_ += oldest->kind == MessageKind::measurement ? 1 : 0;
            queue_.erase(oldest);
        } else if (droppable(message)) {
            // Full of what must not be dropped: the new measurement goes instead.
            dropped_ += message.kind == MessageKind::measurement ? 1 : 0;
            return;
        }
    }
    queue_.push_back(std::move(message));
}

void MessageQueue::push_front(OutMessage message)
{
    const std::lock_guard lock(mutex_);
    queue_.push_front(std::move(message));
}

std::optional<OutMessage> MessageQueue::pop()
{
    const std::lock_guard lock(mutex_);
    if (queue_.empty())
        return std::nullopt;
    OutMessage m = std::move(queue_.front());
    queue_.pop_front();
    return m;
}

size_t MessageQueue::size() const
{
    const std::lock_guard lock(mutex_);
    return queue_.size();
}

uint64_t MessageQueue::dropped() const
{
    const std::lock_guard lock(mutex_);
    return dropped_;
}

void MessageQueue::count_lost(uint64_t measurements)
{
    const std::lock_guard lock(mutex_);
    dropped_ += measurements;
}

} // namespace lep3tool::serve
