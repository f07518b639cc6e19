#include "hostkit/frame_pump.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>

#include "hostkit/signals.h"
#include "hostkit/text_format.h"
#include "lep3.h"

namespace lep3tool {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting loop looks at the stop flag.
constexpr std::chrono::milliseconds kStopPoll{100};

constexpr int kTimedOut = -2;
constexpr int kBridgeGone = -6;

// The wall-clock time of a moment on the monotonic clock (the library stamps frames with
// CLOCK_MONOTONIC, which is the steady clock here).
std::chrono::system_clock::time_point wall_time(uint64_t monotonic_ns)
{
    const auto age = Clock::now().time_since_epoch() - std::chrono::nanoseconds(monotonic_ns);
    return std::chrono::system_clock::now() - std::chrono::duration_cast<std::chrono::system_clock::duration>(age);
}

} // namespace

FramePump::Wait FramePump::next(Frame &out, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    bool gone = false;
    for (;;) {
        if (stop_requested())
            return Wait::stopped;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return gone ? Wait::gone : Wait::timed_out;
        lep3_frame_info_t info{};
        const int r = LEP3_WaitFrame(out.bytes.data(), out.bytes.size(), &info,
                                     static_cast<int>(std::min(left, kStopPoll).count()));
        if (r == kTimedOut || r == kBridgeGone) {
            gone = r == kBridgeGone;
            // The library says at once that the bridge is gone: wait here for its return.
            if (gone)
                std::this_thread::sleep_for(std::min(left, kStopPoll));
            continue;
        }
        if (r != 0)
            throw std::runtime_error("the session refused the frame read (result " + std::to_string(r) + ")");
        out.format = info.format;
        out.size = info.size;
        out.number = info.frame_number;
        out.check_ok = info.check_ok != 0;
        out.taken = wall_time(info.completed_ns);
        out.completed = std::chrono::nanoseconds(info.completed_ns);
        ++received_;
        if (last_number_ != 0 && out.number > last_number_ + 1)
            missed_ += out.number - last_number_ - 1;
        last_number_ = out.number;
        return Wait::frame;
    }
}

void fail_silent(const std::string &device, std::chrono::milliseconds timeout)
{
    throw std::runtime_error("the bridge at " + device + " sends nothing: no frame in " +
                             format_text("%g", std::chrono::duration<double>(timeout).count()) + " s (see --timeout)");
}

bool first_frame(FramePump &pump, Frame &out, std::chrono::milliseconds timeout, const std::string &device)
{
    switch (pump.next(out, timeout)) {
    case FramePump::Wait::frame:
        return true;
    case FramePump::Wait::stopped:
        return false;
    case FramePump::Wait::gone:
        throw std::runtime_error("the bridge at " + device + " is gone (unplugged?)");
    case FramePump::Wait::timed_out:
        break;
    }
    fail_silent(device, timeout);
}

} // namespace lep3tool
