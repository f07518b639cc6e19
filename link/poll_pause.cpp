// How long one poll of a queue wait sleeps, per thread.
//
// Every queue wait polls with a sleep: 1 us as the queues prescribe, which the kernel
// stretches to some 60 us, so a waiting thread wakes about 16 000 times a second whether
// anything is coming or not. On the loops' own threads, and on a host thread while it
// waits for a frame, the same poll sleeps longer instead: every test, every lock and every
// byte stays as it was, only the time between two looks grows. A requested sleep bounds
// the wake-ups on any machine; a wider timer slack (PR_SET_TIMERSLACK) would not, since any
// other timer on the CPU ends a slack-stretched 1 us sleep early.
#include <atomic>
#include <chrono>

#include "link/link_internal.h"

namespace lep3::link {

namespace {

std::atomic<int64_t> loop_pause_us{kPollPause.loops.count()};
std::atomic<int64_t> frame_wait_pause_us{kPollPause.frame_wait.count()};

// Threads the library doesn't set up (the host's) poll as prescribed.
thread_local useconds_t pause_us = kQueuePollUs;

useconds_t at_least_prescribed(int64_t us)
{
    return us > static_cast<int64_t>(kQueuePollUs) ? static_cast<useconds_t>(us) : kQueuePollUs;
}

} // namespace

void set_poll_pause(PollPause pause)
{
    loop_pause_us.store(pause.loops.count(), std::memory_order_relaxed);
    frame_wait_pause_us.store(pause.frame_wait.count(), std::memory_order_relaxed);
}

void use_loop_pause()
{
    pause_us = at_least_prescribed(loop_pause_us.load(std::memory_order_relaxed));
}

useconds_t poll_pause()
{
    return pause_us;
}

FrameWaitPause::FrameWaitPause() : previous_us_(pause_us)
{
    pause_us = at_least_prescribed(frame_wait_pause_us.load(std::memory_order_relaxed));
}

FrameWaitPause::~FrameWaitPause()
{
    pause_us = previous_us_;
}

} // namespace lep3::link
