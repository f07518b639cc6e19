// LEP3_WaitFrame: the newest frame not yet delivered, with a time-out.
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
// Waiters look at the link state at least this often.
constexpr auto kWaitSlice = 20ms;

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

// 1 taken, 0 none ready, -3 too small.
int try_take(std::span<uint8_t> buffer, lep3_frame_info_t *info)
{
    lep3::session::lock_link_shared();
    lep3::link::FrameFacts facts;
    int result = 0;
    frame_desc_t desc{};
    if (lep3::link::peek_newest_frame(facts) && ready(facts))
        result = lep3::link::take_newest_frame(buffer, desc, facts);
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
    for (;;) {
        const int taken = try_take(out, info);
        if (taken == 1)
            return 0;
        if (taken < 0)
            return taken;
        // A bridge that is gone is said at once, not at the end of the wait.
        if (const int state = LEP3_GetLinkState(); state == LEP3_LINK_GONE || state == LEP3_LINK_RECONNECTING)
            return -6;
        const auto now = Clock::now();
        if (!forever && now >= deadline)
            return -2;
        const auto slice_end = now + kWaitSlice;
        lep3::link::wait_for_frame_event(forever || slice_end < deadline ? slice_end : deadline);
    }
}
