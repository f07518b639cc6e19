// The managed session: opens the bridge for this process alone, runs the loops on the
// library's threads, watches the link, and re-opens a bridge that disappears and returns.
//
// One supervisor thread watches the link. It sleeps in poll() on the device (a hang-up
// wakes it) and on an eventfd that the reader pokes when the port hangs up or bytes come
// to a silent link; it wakes by itself only when a streaming link would fall silent, and
// every tick while the bridge is gone, to see it return. It is the only thread besides
// LEP3_Open, LEP3_Close and LEP3_UpdateFirmware that replaces the link, and all of them do
// so holding link_lock exclusively; a frame read holds it shared while it copies a frame.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "control/control_internal.h"
#include "lep3.h"
#include "link/console.h"
#include "link/link_internal.h"
#include "session/session_internal.h"

namespace lep3::session {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kTick = 50ms;      // how often the supervisor looks for a bridge that is gone
constexpr auto kSilentAfter = 1s; // no byte for this long: silent

std::shared_mutex link_lock;
std::mutex open_lock;  // serialises LEP3_Open, LEP3_Close, the supervisor's work and the update
std::mutex close_lock; // one LEP3_Close at a time (it joins the supervisor outside open_lock)

std::atomic<int> link_state{LEP3_LINK_CLOSED};
std::atomic<bool> updating{false};

struct Supervisor {
    std::thread thread;
    link::Fd wake; // eventfd: stop, a hang-up, bytes on a silent link, the update's end
    std::atomic<bool> stop{false};
};
Supervisor supervisor;

void poke_supervisor()
{
    const uint64_t one = 1;
    (void)!write(supervisor.wake.get(), &one, sizeof one);
}

uint64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000U + static_cast<uint64_t>(now.tv_nsec);
}

struct Link {
    link::Fd claim;                        // our lock on the device
    std::string path;                      // where the bridge is published
    uint32_t frames_before = 0;            // frame count carried over a re-open
    std::atomic<uint64_t> last_byte_ns{0}; // CLOCK_MONOTONIC of the last read, by the reader
};
Link link_now;

void say(const std::string &text)
{
    console::write_error(("LEP3: " + text + "\n").c_str());
}

// Brings the link up on the device already claimed: port, queues, parser, loops. The
// parser starts from hunting, on a packet's first byte, so no half packet of an earlier
// link or of a stream met midway is completed.
bool bring_up()
{
    if (LEP3_Init() != 0)
        return false;
    control::forget_calibration(); // maybe another camera, or one that restarted
    frame_desc.frame_number = link_now.frames_before;
    settle_line();
    link::reset_parser();
    if (!start_loops()) {
        LEP3_Destroy();
        return false;
    }
    link_now.last_byte_ns.store(monotonic_ns());
    return true;
}

// Takes the link down: loops first, then what they used.
void take_down()
{
    stop_loops();
    link_now.frames_before = frame_desc.frame_number;
    LEP3_Destroy();
}

bool device_gone()
{
    struct stat st {};
    if (stat(link_now.path.c_str(), &st) != 0)
        return true;
    pollfd hangup{link_now.claim.get(), 0, 0};
    return poll(&hangup, 1, 0) == 1 && (hangup.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// A bridge that came back: claim it again, bring the link up, ask for the video that was
// running, and set the camera up as after a reset.
bool reconnect()
{
    BridgeClaim claim = claim_bridge(link_now.path.c_str());
    if (claim.fd < 0)
        return false;
    link_now.claim.reset(claim.fd);
    if (!bring_up()) {
        link_now.claim.reset();
        return false;
    }
    const int32_t video = link::last_video_request();
    if (video == link::kModeRaw)
        LEP3_GetRawVideo();
    else if (video == link::kModeRgb)
        LEP3_GetRGBVideo();
    link::bump(link::link_counters.reconnects);
    return true;
}

void start_reinitialisation()
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    (void)pthread_create(&thread, &attr, LEP3_Daemon_Thr, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
}

// Time since the last byte came.
std::chrono::nanoseconds quiet_for()
{
    return std::chrono::nanoseconds(monotonic_ns() - link_now.last_byte_ns.load());
}

void watch_once()
{
    const int state = link_state.load();
    if (state == LEP3_LINK_UP || state == LEP3_LINK_SILENT) {
        if (device_gone()) {
            // Said first, so that a command awaiting its reply ends now.
            link::set_bridge_gone(true);
            {
                const std::unique_lock<std::shared_mutex> guard(link_lock);
                take_down();
                link_now.claim.reset();
                link_state.store(LEP3_LINK_GONE);
            }
            link::wake_frame_waiters();
            say("the bridge at " + link_now.path + " is gone; waiting for it to return");
            return;
        }
        link_state.store(quiet_for() < kSilentAfter ? LEP3_LINK_UP : LEP3_LINK_SILENT);
        return;
    }
    if (state == LEP3_LINK_GONE && access(link_now.path.c_str(), F_OK) == 0) {
        link_state.store(LEP3_LINK_RECONNECTING);
        bool back = false;
        {
            const std::unique_lock<std::shared_mutex> guard(link_lock);
            back = reconnect();
        }
        link::set_bridge_gone(!back);
        link_state.store(back ? LEP3_LINK_UP : LEP3_LINK_GONE);
        if (back) {
            say("the bridge at " + link_now.path + " is back");
            // The camera is set up as after a reset notice, on a detached thread of its own,
            // so neither the supervisor nor LEP3_Close waits for its transactions.
            start_reinitialisation();
        }
        link::wake_frame_waiters();
    }
}

// What the supervisor sleeps on next: the device while it is there (a hang-up wakes it)
// and how long it may sleep at most (-1: until woken).
struct Watch {
    int device = -1;
    int timeout_ms = -1;
};

Watch next_watch()
{
    if (updating.load())
        return {}; // the update's end wakes it
    const std::lock_guard<std::mutex> serial(open_lock);
    switch (link_state.load()) {
    case LEP3_LINK_UP: {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(kSilentAfter - quiet_for());
        return {link_now.claim.get(), static_cast<int>(std::max<int64_t>(left.count(), 0)) + 1};
    }
    case LEP3_LINK_SILENT:
        return {link_now.claim.get(), -1}; // the reader wakes it when bytes come
    default:
        return {-1, static_cast<int>(kTick.count())}; // gone: looks for its return
    }
}

void supervise()
{
    while (!supervisor.stop.load()) {
        const Watch watch = next_watch();
        // A device fd with no events asked for still reports a hang-up or an error.
        pollfd fds[2] = {{supervisor.wake.get(), POLLIN, 0}, {watch.device, 0, 0}};
        if (poll(fds, 2, watch.timeout_ms) < 0)
            continue;
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t count = 0;
            (void)!read(supervisor.wake.get(), &count, sizeof count);
        }
        if (supervisor.stop.load())
            break;
        if (updating.load())
            continue;
        const std::lock_guard<std::mutex> serial(open_lock);
        watch_once();
    }
}

// Before the loops start: the reader pokes the supervisor's eventfd as soon as the port
// hangs up, which may be before the supervisor runs.
void ready_supervisor_wake()
{
    // Made once and kept: the reader may still poke it while a close stops the supervisor.
    if (!supervisor.wake.valid())
        supervisor.wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    uint64_t stale = 0;
    (void)!read(supervisor.wake.get(), &stale, sizeof stale);
}

void start_supervisor()
{
    supervisor.stop.store(false);
    // The supervisor takes none of the host's signals either.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    supervisor.thread = std::thread(supervise);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void stop_supervisor()
{
    supervisor.stop.store(true);
    poke_supervisor();
    if (supervisor.thread.joinable())
        supervisor.thread.join();
}

} // namespace

void note_bytes_arrived()
{
    link_now.last_byte_ns.store(monotonic_ns(), std::memory_order_relaxed);
    if (link_state.load(std::memory_order_relaxed) == LEP3_LINK_SILENT)
        poke_supervisor();
}

void note_hangup()
{
    poke_supervisor();
}

void lock_link_shared()
{
    link_lock.lock_shared();
}

void unlock_link_shared()
{
    link_lock.unlock_shared();
}

bool session_open()
{
    return link_state.load() != LEP3_LINK_CLOSED;
}

void begin_update()
{
    updating.store(true);
}

// After the update: whatever it left, the loops go, the link is brought up again on the
// device the bridge now has, and the supervisor takes over again.
void end_update(int result)
{
    const std::unique_lock<std::shared_mutex> guard(link_lock);
    if (result == -1 || result == -2) {
        // Refused before the bridge restarted: the link is as it was.
        updating.store(false);
        poke_supervisor();
        return;
    }
    stop_loops();
    link_now.frames_before = frame_desc.frame_number;
    if (result != 0) {
        // The update closed the port but kept the queues.
        queue_clear(&uart_queue);
        frame_queue_free(&frame_queue);
    }
    link_now.claim.reset();
    BridgeClaim claim = claim_bridge(link_now.path.c_str());
    const bool back = claim.fd >= 0 && (link_now.claim.reset(claim.fd), bring_up());
    if (!back)
        link_now.claim.reset();
    else if (const int32_t video = link::last_video_request(); video == link::kModeRaw)
        LEP3_GetRawVideo();
    else if (video == link::kModeRgb)
        LEP3_GetRGBVideo();
    link::set_bridge_gone(!back);
    link_state.store(back ? LEP3_LINK_UP : LEP3_LINK_GONE);
    updating.store(false);
    poke_supervisor();
    link::wake_frame_waiters();
}

std::mutex &serial_lock()
{
    return open_lock;
}

} // namespace lep3::session

using namespace lep3::session;

extern "C" LEP3_API int LEP3_Open(const char *device)
{
    const std::lock_guard<std::mutex> serial(open_lock);
    if (link_state.load() != LEP3_LINK_CLOSED) {
        say("a bridge is already open in this process (one camera per process)");
        return -7;
    }
    if (device != nullptr && LEP3_SetPath(LEP3_PATH_UART, device) != 0) {
        say(std::string("the device path '") + device + "' is empty or too long");
        return -1;
    }
    link_now.path = LEP3_GetPath(LEP3_PATH_UART);
    BridgeClaim claim = claim_bridge(link_now.path.c_str());
    if (claim.fd < 0) {
        say(claim.reason);
        return claim.result;
    }
    lep3::link::set_bridge_gone(false);
    lep3::link::set_session_opens(true);
    link_now.claim.reset(claim.fd);
    link_now.frames_before = 0;
    lep3::link::forget_video_request();
    ready_supervisor_wake();
    {
        const std::unique_lock<std::shared_mutex> guard(link_lock);
        if (!bring_up()) {
            link_now.claim.reset();
            lep3::link::set_session_opens(false);
            say("can't bring up the link on " + link_now.path);
            return -1;
        }
    }
    link_state.store(LEP3_LINK_UP);
    start_supervisor();
    return 0;
}

extern "C" LEP3_API void LEP3_Close(void)
{
    const std::lock_guard<std::mutex> closing(close_lock);
    stop_supervisor();
    const std::lock_guard<std::mutex> serial(open_lock);
    const int state = link_state.exchange(LEP3_LINK_CLOSED);
    if (state == LEP3_LINK_CLOSED)
        return;
    {
        const std::unique_lock<std::shared_mutex> guard(link_lock);
        if (state != LEP3_LINK_GONE)
            take_down();
        link_now.claim.reset();
    }
    lep3::link::forget_video_request();
    lep3::link::set_bridge_gone(false);
    lep3::link::set_session_opens(false);
    lep3::link::wake_frame_waiters();
}

extern "C" LEP3_API int LEP3_GetLinkState(void)
{
    return link_state.load();
}
