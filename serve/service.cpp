#include "serve/service.h"

#include <chrono>
#include <thread>
#include <utility>

#include "hostkit/console.h"
#include "hostkit/signals.h"

namespace lep3tool::serve {

namespace {

// How often the service looks at the feed, its outputs and the signals: the bound on
// answering SIGTERM, and well under any watchdog interval systemd asks for.
constexpr std::chrono::milliseconds kTick{50};

} // namespace

Service::Service(FrameHub &hub, const FeedInfo &feed, Notifier &notifier, const ServiceLog &log)
    : hub_(hub), feed_(feed), notifier_(notifier), log_(log)
{
}

Service::~Service()
{
    stop_outputs();
}

void Service::add(std::unique_ptr<Output> output)
{
    outputs_.push_back(std::move(output));
}

int Service::run()
{
    for (; started_ < outputs_.size(); ++started_)
        outputs_[started_]->start();

    unsigned hangups_seen = hangups();
    bool failed = false;
    while (!stop_requested() && !failed) {
        for (; hangups_seen != hangups(); ++hangups_seen) {
            log_.say(kLogNotice, "SIGHUP ignored: the configuration is read at the start; restart the service to "
                                 "apply a change");
        }
        const FeedStatus status = feed_.status();
        notifier_.observe({status.link, status.frames, status.fps}, Notifier::Clock::now());
        for (const auto &output : outputs_) {
            if (!output->running()) {
                log_.say(kLogError, "the %.*s stopped unexpectedly", static_cast<int>(output->name().size()),
                         output->name().data());
                failed = true;
            }
        }
        std::this_thread::sleep_for(kTick);
    }
    notifier_.stopping();
    stop_outputs();
    if (failed)
        return kExitFailure;
    log_.say(kLogNotice, "stopped");
    return kExitOk;
}

void Service::stop_outputs()
{
    // Followers first, so that the outputs' threads can end; then the outputs, the last
    // started first.
    hub_.close();
    for (; started_ > 0; --started_)
        outputs_[started_ - 1]->stop();
}

} // namespace lep3tool::serve
