#include "hostkit/command_thread.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "hostkit/console.h"
#include "hostkit/session.h"
#include "hostkit/signals.h"

namespace lep3tool {

namespace {

// How often the main thread looks at the stop flag while the subcommand runs.
constexpr std::chrono::milliseconds kStopPoll{20};

// Held by the main thread while it ends the process, and by the worker around the count.
std::mutex gate;
int awaiting = 0;

struct Outcome {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    int status = kExitFailure;
    std::exception_ptr error;
};

// A stop signal while the worker waits for a reply: end the process now. Holding the gate,
// the worker can't return from its call and go on to other work meanwhile.
void leave_if_awaiting_reply()
{
    const std::lock_guard hold(gate);
    if (awaiting == 0)
        return;
    Session::close_for_exit();
    error("interrupted while waiting for the bridge's reply");
    flush_output();
    _exit(128 + stop_signal());
}

} // namespace

AwaitingReply::AwaitingReply()
{
    const std::lock_guard hold(gate);
    ++awaiting;
}

AwaitingReply::~AwaitingReply()
{
    const std::lock_guard hold(gate);
    --awaiting;
}

int run_command_thread(const std::function<int()> &body)
{
    auto outcome = std::make_shared<Outcome>();
    std::thread worker;
    {
        // The signals reach the main thread, which decides what they end.
        const SignalsBlocked blocked;
        worker = std::thread([outcome, &body] {
            int status = kExitFailure;
            std::exception_ptr error;
            try {
                status = body();
            } catch (...) {
                error = std::current_exception();
            }
            const std::lock_guard hold(outcome->lock);
            outcome->status = status;
            outcome->error = error;
            outcome->done = true;
            outcome->finished.notify_all();
        });
    }
    {
        std::unique_lock wait(outcome->lock);
        while (!outcome->finished.wait_for(wait, kStopPoll, [&] { return outcome->done; })) {
            if (stop_requested()) {
                wait.unlock();
                leave_if_awaiting_reply();
                wait.lock();
            }
        }
    }
    worker.join();
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    return outcome->status;
}

} // namespace lep3tool
