#include "tools/frame_pump.h"

#include <stdexcept>
#include <thread>

#include "lep3.h"
#include "tools/signals.h"

namespace lep3tool {

namespace {

// How often a waiting loop looks at the stop flag.
constexpr std::chrono::milliseconds kStopPoll{100};
// A streaming bridge delivers a frame every 115 ms, after which the thread sees the stop
// request and ends by itself; past this it is waiting on a silent bridge.
constexpr std::chrono::milliseconds kStopGrace{400};
constexpr std::chrono::milliseconds kFinishPoll{5};

} // namespace

FramePump::FramePump() : incoming_(std::make_unique<Frame>())
{
    const SignalsBlocked blocked;
    if (pthread_create(&thread_, nullptr, &FramePump::run, this) != 0)
        throw std::runtime_error("cannot start the frame thread");
}

FramePump::~FramePump()
{
    stopping_.store(true);
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    while (!finished_.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kFinishPoll);
    // Still waiting for a frame: the library's frame read only returns with one, so the
    // thread is cancelled in its polling sleep. Nothing on the thread's stack needs
    // unwinding there, and the mutex is held only around a copy.
    if (!finished_.load())
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
    uint32_t last_number = 0;
    while (!stopping_.load()) {
        uint32_t width = 0;
        uint32_t height = 0;
        Frame &f = *incoming_;
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
    finished_.store(true);
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
