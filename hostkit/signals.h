// Ctrl-C and termination: SIGINT and SIGTERM only set a flag; every loop of the tool
// checks it between steps, so a subcommand ends with its files complete and the link
// shut down in order (a wait for a bridge's reply is left at once: command_thread.h). A
// second signal ends the process at once, for the one step that goes on after the first:
// a firmware update, which can't be interrupted safely. SIGHUP (a terminal that closes, or
// a port that hangs up while it is the controlling terminal of a host that opened it
// without O_NOCTTY) stops the same way, except in a long-running service, which outlives
// both: there it is only counted.
#pragma once

#include <csignal>

namespace lep3tool {

void install_signal_handlers();
// True once SIGINT, SIGTERM or SIGHUP arrived.
bool stop_requested();
// The signal that asked to stop, or 0.
int stop_signal();
// From now on SIGHUP does not ask to stop; it is counted for the caller to report.
void keep_running_on_hangup();
// The SIGHUPs that arrived since keep_running_on_hangup().
unsigned hangups();
// Blocks those signals in the calling thread; threads created afterwards inherit
// the mask, so the signals reach the main thread, which does the stopping.
class SignalsBlocked {
  public:
    SignalsBlocked();
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

  private:
    sigset_t saved_;
};

} // namespace lep3tool
