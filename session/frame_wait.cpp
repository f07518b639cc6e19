// LEP3_WaitFrame: the newest frame not yet delivered, with a time-out.
#include <algorithm>
#include <chrono>
#include <span>

#include "lep3.h"
#include "link/link_internal.h"
#include "session/session_internal.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A frame is handed out once its check byte has been seen; one whose check byte never
// comes (the stream stopped right after it) is handed out this long after completion.
constexpr auto kCheckByteGrace = 20ms;

uint64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000U + static_cast<uint64_t>(now.tv_nsec);
}

bool ready(const lep3::link::FrameFacts &facts)
{
    return facts.check != lep3::link::FrameCheck::pending ||
           monotonic_ns() - facts.completed_ns >=
               static_cast<uint64_t>(std::chrono::nanoseconds(kCheckByteGrace).count());
}

// 1 taken, 0 none ready, -3 too small. A frame that waits for its check byte moves
// `wake` forward to the end of its grace.
int try_take(std::span<uint8_t> buffer, lep3_frame_info_t *info, Clock::time_point &wake)
{
    lep3::session::lock_link_shared();
    lep3::link::FrameFacts facts;
    int result = 0;
    frame_desc_t desc{};
    if (lep3::link::peek_newest_frame(facts)) {
        if (ready(facts))
            result = lep3::link::take_newest_frame(buffer, desc, facts);
        else // steady_clock counts CLOCK_MONOTONIC
            wake = std::min(wake, Clock::time_point(std::chrono::nanoseconds(facts.completed_ns) + kCheckByteGrace));
    }
    lep3::session::unlock_link_shared();
    if (result == 1 && info != nullptr) {
        *info =
            lep3_frame_info_t{desc.frame_number, desc.format, desc.size,
                              desc.width,        desc.height, facts.check == lep3::link::FrameCheck::matched ? 1U : 0U,
                              facts.completed_ns};
    }
    return result;
}

} // namespace

extern "C" LEP3_API int LEP3_WaitFrame(void *buffer, size_t capacity, lep3_frame_info_t *info, int timeout_ms)
{
    if (buffer == nullptr)
        return -5;
    const std::span<uint8_t> out(static_cast<uint8_t *>(buffer), capacity);
    const bool forever = timeout_ms < 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeout_ms);
    // Sleeps until a frame is queued, a check byte is seen or the link changes state (each
    // an event), or a frame's grace or the time-out ends.
    for (;;) {
        const uint64_t seen = lep3::link::frame_events();
        auto wake = forever ? Clock::time_point::max() : deadline;
        const int taken = try_take(out, info, wake);
        if (taken == 1)
            return 0;
        if (taken < 0)
            return taken;
        // A bridge that is gone is said at once, not at the end of the wait.
        if (const int state = LEP3_GetLinkState(); state == LEP3_LINK_GONE || state == LEP3_LINK_RECONNECTING)
            return -6;
        if (!forever && Clock::now() >= deadline)
            return -2;
        lep3::link::wait_for_frame_event(seen, wake);
    }
}
