#include "hostkit/signals.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace lep3tool {

namespace {

std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler stores into this word");
std::atomic<unsigned> hangups_received{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "the handler stores into this word");

void on_signal(int signo)
{
    if (signo == SIGHUP) {
        // The session opens the bridge's port with O_NOCTTY, so an unplug sends no SIGHUP
        // any more; one that comes (a terminal closing, a kill) stops as Ctrl-C does.
        static constexpr char kGone[] = "\nlep3: the bridge is gone (its device hung up)\n";
        [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, kGone, sizeof kGone - 1);
    }
    if (received.exchange(signo) != 0) {
        static constexpr char kForced[] = "\nlep3: stopping at once\n";
        [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, kForced, sizeof kForced - 1);
        _exit(128 + signo);
    }
}

void on_hangup(int)
{
    hangups_received.fetch_add(1);
}

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

void handle(int signo, void (*handler)(int))
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Restart interrupted calls: the library's reads and writes are not written to
    // expect EINTR, and the flag is what ends the loops.
    action.sa_flags = SA_RESTART;
    sigaction(signo, &action, nullptr);
}

} // namespace

void install_signal_handlers()
{
    handle(SIGINT, on_signal);
    handle(SIGTERM, on_signal);
    handle(SIGHUP, on_signal);
}

void keep_running_on_hangup()
{
    handle(SIGHUP, on_hangup);
}

unsigned hangups()
{
    return hangups_received.load();
}

bool stop_requested()
{
    return received.load() != 0;
}

int stop_signal()
{
    return received.load();
}

SignalsBlocked::SignalsBlocked()
{
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
}

SignalsBlocked::~SignalsBlocked()
{
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

} // namespace lep3tool
