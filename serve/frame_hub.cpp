#include "serve/frame_hub.h"

namespace lep3tool::serve {

void FrameHub::publish(std::shared_ptr<ViewFrame> frame)
{
    {
        const std::lock_guard lock(mutex_);
        frame->seq = ++seq_;
        recent_.push_back(std::move(frame));
        if (recent_.size() > kHistory)
            recent_.pop_front();
    }
    arrived_.notify_all();
}

std::shared_ptr<const ViewFrame> FrameHub::newest() const
{
    const std::lock_guard lock(mutex_);
    return recent_.empty() ? nullptr : recent_.back();
}

std::shared_ptr<const ViewFrame> FrameHub::find(uint32_t number) const
{
    const std::lock_guard lock(mutex_);
    for (auto it = recent_.rbegin(); it != recent_.rend(); ++it)
        if ((*it)->number == number)
            return *it;
    return nullptr;
}

std::shared_ptr<const ViewFrame> FrameHub::wait_newer(uint64_t seq, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, timeout, [&] { return closed_ || seq_ > seq; });
    if (closed_ || seq_ <= seq)
        return nullptr;
    return recent_.back();
}

void FrameHub::close()
{
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }
    arrived_.notify_all();
}

bool FrameHub::closed() const
{
    const std::lock_guard lock(mutex_);
    return closed_;
}

FrameHub::Follower::Follower(FrameHub &hub) : hub_(hub)
{
    const std::lock_guard lock(hub_.mutex_);
    ++hub_.followers_;
}

FrameHub::Follower::~Follower()
{
    const std::lock_guard lock(hub_.mutex_);
    --hub_.followers_;
}

unsigned FrameHub::followers() const
{
    const std::lock_guard lock(mutex_);
    return followers_;
}

} // namespace lep3tool::serve
