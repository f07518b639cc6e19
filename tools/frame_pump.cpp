#include "tools/frame_pump.h"

#include <memory>
#include <stdexcept>

#include "lep3.h"
#include "tools/signals.h"

namespace lep3tool {

namespace {

// How often a waiting loop looks at the stop flag.
constexpr std::chrono::milliseconds kStopPoll{100};

} // namespace

FramePump::FramePump()
{
    const SignalsBlocked blocked;
    if (pthread_create(&thread_, nullptr, &FramePump::run, this) != 0)
        throw std::runtime_error("cannot start the frame thread");
}

FramePump::~FramePump()
{
    // The thread spends its time waiting inside the library's frame read, whose polling
    // sleep is a cancellation point; it holds the mutex only around a copy.
    pthread_cancel(thread_);
    pthread_join(thread_, nullptr);
}

void *FramePump::run(void *self)
{
    static_cast<FramePump *>(self)->take_frames();
    return nullptr;
}

void FramePump::take_frames()
{
    auto incoming = std::make_unique<Frame>();
    uint32_t last_number = 0;
    for (;;) {
        uint32_t width = 0;
        uint32_t height = 0;
        Frame &f = *incoming;
        if (LEP3_GetFrameFromQueue(f.bytes.data(), &width, &height, &f.format, &f.size, &f.number) != 0)
            continue;
        f.taken = std::chrono::system_clock::now();
        {
            const std::lock_guard lock(mutex_);
            ++received_;
            if (last_number != 0 && f.number > last_number + 1)
                missed_ += f.number - last_number - 1;
            last_number = f.number;
            latest_ = f;
        }
        arrived_.notify_one();
    }
}

FramePump::Wait FramePump::next(Frame &out, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    while (latest_.number == returned_number_) {
        if (stop_requested())
            return Wait::stopped;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return Wait::timed_out;
        arrived_.wait_for(lock, std::min<std::chrono::steady_clock::duration>(kStopPoll, deadline - now));
    }
    out = latest_;
    returned_number_ = latest_.number;
    return Wait::frame;
}

uint64_t FramePump::received() const
{
    const std::lock_guard lock(mutex_);
    return received_;
}

uint64_t FramePump::missed() const
{
    const std::lock_guard lock(mutex_);
    return missed_;
}

} // namespace lep3tool
