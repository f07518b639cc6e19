#include "tools/signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace lep3tool {

namespace {

std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler stores into this word");
// Set before the handlers are installed, read only by the handler.
bool started_without_terminal = false;

void on_signal(int signo, siginfo_t *info, void *)
{
    // The library opens the bridge's device without O_NOCTTY, so a tool started without
    // a terminal (a service, a session leader) gets the bridge as its controlling
    // terminal, and the kernel's hang-up when it is unplugged is not a request to stop:
    // the session notices the bridge leaving by itself.
    if (signo == SIGHUP && started_without_terminal && info != nullptr && info->si_code == SI_KERNEL)
        return;
    if (received.exchange(signo) != 0) {
        static constexpr char kForced[] = "\nlep3: stopping at once\n";
        [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, kForced, sizeof kForced - 1);
        _exit(128 + signo);
    }
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

} // namespace

void install_signal_handlers()
{
    const int tty = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    started_without_terminal = tty < 0 && errno == ENXIO;
    if (tty >= 0)
        close(tty);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = on_signal;
    sigemptyset(&action.sa_mask);
    // Restart interrupted calls: the library's reads and writes are not written to
    // expect EINTR, and the flag is what ends the loops.
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
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
