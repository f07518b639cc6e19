// A subcommand runs on a thread of its own while the main thread waits for it and for the
// stop signals (Ctrl-C, SIGTERM).
//
// Most of a subcommand answers the stop flag by itself within a fraction of a second: frame
// loops wait in short slices and finish the frame they hold, so files stay complete. A
// command to the bridge is different: the library blocks its caller until the reply comes
// or about 7 s have passed, and nothing interrupts that wait (cancelling the thread would
// leave the library's transaction lock held). So every call that waits for a reply is
// marked (AwaitingReply); a stop signal that finds the subcommand inside one makes the main
// thread close the session, flush the results written so far and end the process at once,
// without waiting for the reply. Unmarked work is never cut short: the worker can't leave
// a marked call while the main thread is ending the process.
#pragma once

#include <functional>

namespace lep3tool {

// Runs body on a new thread (which takes no stop signals) and returns its result; an
// exception it throws is thrown again here. Ends the process with 128 + the signal when a
// stop signal arrives while the body waits for a reply.
int run_command_thread(const std::function<int()> &body);

// Marks a call that may wait for the bridge's reply. Nestable.
class AwaitingReply {
  public:
    AwaitingReply();
    ~AwaitingReply();
    AwaitingReply(const AwaitingReply &) = delete;
    AwaitingReply &operator=(const AwaitingReply &) = delete;
};

// The result of call, made while marked as waiting for a reply.
template <typename Call> auto awaiting_reply(Call &&call)
{
    const AwaitingReply marked;
    return call();
}

} // namespace lep3tool
