#include "serve/camera_feed.h"

#include <cstring>
#include <utility>

#include "hostkit/command_thread.h"
#include "hostkit/console.h"
#include "hostkit/result_text.h"
#include "hostkit/signals.h"
#include "hostkit/thermography.h"

namespace lep3tool::serve {

namespace {

// How long one wait for a frame lasts: the bound on noticing that the feed should end.
constexpr std::chrono::milliseconds kWait{200};
constexpr std::chrono::seconds kRateWindow{2};

} // namespace

CameraFeed::CameraFeed(FrameHub &hub, RbfoSet rbfo_set, ThermoSetup &thermo)
    : hub_(hub), rbfo_set_(rbfo_set), thermo_(thermo), incoming_(std::make_unique<Frame>())
{
    read_rbfo_parameters();
    lep3_link_stats_t stats{};
    LEP3_GetLinkStats(&stats);
    reconnects_seen_ = stats.reconnects;
    const int r = LEP3_GetRawVideo();
    if (r != 0)
        warning("the video request failed (%s); waiting for frames all the same", describe_result(r).c_str());
    const SignalsBlocked blocked;
    thread_ = std::thread([this] { run(); });
}

CameraFeed::~CameraFeed()
{
    stopping_.store(true);
    thread_.join();
}

void CameraFeed::run()
{
    while (!stopping_.load())
        take_frame();
}

void CameraFeed::read_rbfo_parameters()
{
    rbfo_ = awaiting_reply([this] { return read_rbfo(rbfo_set_); });
    Provenance provenance = read_provenance();
    const std::lock_guard lock(mutex_);
    temperatures_ = rbfo_.has_value();
    provenance_ = std::move(provenance);
}

void CameraFeed::take_frame()
{
    // The pump answers a stop signal at once; the feed ends when its owner says so.
    const FramePump::Wait wait = pump_.next(*incoming_, kWait);
    if (wait == FramePump::Wait::stopped)
        std::this_thread::sleep_for(kWait);

    lep3_link_stats_t stats{};
    LEP3_GetLinkStats(&stats);
    if (stats.reconnects != reconnects_seen_ && LEP3_GetLinkState() == LEP3_LINK_UP) {
        // The session asks a bridge that came back for the video again; its camera may
        // carry other parameters than the one that left.
        reconnects_seen_ = stats.reconnects;
        read_rbfo_parameters();
    }
    // An RGB frame may still be on its way from an earlier request.
    if (wait != FramePump::Wait::frame || incoming_->format != kFormatRaw)
        return;

    auto frame = std::make_shared<ViewFrame>();
    std::memcpy(frame->raw.data(), incoming_->raw(), sizeof frame->raw);
    frame->number = incoming_->number;
    frame->taken = incoming_->taken;
    frame->check_ok = incoming_->check_ok;
    frame->rbfo_set = rbfo_set_;
    frame->rbfo = rbfo_;
    auto setup = thermo_.setup();
    if (setup->object_given)
        frame->object = setup->object;
    measure_frame(*frame);
    if (frame->has_temperatures()) {
        frame->readings = measure_regions(frame->celsius, setup->regions);
        frame->alarms = thermo_.observe(*setup, frame->readings, incoming_->completed);
    } else {
        frame->alarms = thermo_.alarms();
    }
    frame->measured = std::move(setup);
    {
        const std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        recent_.push_back(now);
        while (now - recent_.front() > kRateWindow)
            recent_.pop_front();
        last_number_ = frame->number;
        ++frames_;
    }
    hub_.publish(std::move(frame));
}

Provenance CameraFeed::provenance() const
{
    const std::lock_guard lock(mutex_);
    return provenance_;
}

FeedStatus CameraFeed::status() const
{
    FeedStatus s;
    s.link = LEP3_GetLinkState();
    LEP3_GetLinkStats(&s.counters);
    const std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    if (recent_.size() >= 2 && now - recent_.back() < kRateWindow) {
        const double span = std::chrono::duration<double>(recent_.back() - recent_.front()).count();
        if (span > 0)
            s.fps = static_cast<double>(recent_.size() - 1) / span;
    }
    s.frame = last_number_;
    s.frames = frames_;
    s.temperatures = temperatures_;
    return s;
}

} // namespace lep3tool::serve
