#include "tools/view/camera_feed.h"

#include <time.h>

#include <cstring>

#include "tools/console.h"
#include "tools/result_text.h"
#include "tools/signals.h"
#include "tools/view/celsius_scale.h"

namespace lep3tool::view {

namespace {

// How long one wait for a frame lasts: the bound on noticing a stop request.
constexpr int kWaitMs = 200;
constexpr std::chrono::seconds kRateWindow{2};

// The wall-clock time of a CLOCK_MONOTONIC stamp.
std::chrono::system_clock::time_point wall_time_of(uint64_t monotonic_ns)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto now_ns = static_cast<uint64_t>(now.tv_sec) * 1000000000U + static_cast<uint64_t>(now.tv_nsec);
    const auto age = std::chrono::nanoseconds(now_ns > monotonic_ns ? now_ns - monotonic_ns : 0);
    return std::chrono::system_clock::now() - std::chrono::duration_cast<std::chrono::system_clock::duration>(age);
}

} // namespace

CameraFeed::CameraFeed(FrameHub &hub, RbfoSet rbfo_set)
    : hub_(hub), rbfo_set_(rbfo_set), incoming_(std::make_unique<Frame>())
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
    rbfo_ = read_rbfo(rbfo_set_);
    if (rbfo_ && (!scale_ || std::memcmp(&scale_->rbfo(), &*rbfo_, sizeof *rbfo_) != 0))
        scale_ = std::make_shared<const CelsiusScale>(*rbfo_);
    if (!rbfo_)
        scale_.reset();
    const std::lock_guard lock(mutex_);
    temperatures_ = rbfo_.has_value();
}

void CameraFeed::take_frame()
{
    lep3_frame_info_t info{};
    // Room for an RGB frame too, which may still be on its way from an earlier request.
    const int r = LEP3_WaitFrame(incoming_->bytes.data(), incoming_->bytes.size(), &info, kWaitMs);

    lep3_link_stats_t stats{};
    LEP3_GetLinkStats(&stats);
    if (stats.reconnects != reconnects_seen_ && LEP3_GetLinkState() == LEP3_LINK_UP) {
        // The session asks a bridge that came back for the video again; its camera may
        // carry other parameters than the one that left.
        reconnects_seen_ = stats.reconnects;
        read_rbfo_parameters();
    }
    if (r != 0 || info.format != kFormatRaw)
        return;

    auto frame = std::make_shared<ViewFrame>();
    std::memcpy(frame->raw.data(), incoming_->bytes.data(), sizeof frame->raw);
    frame->number = info.frame_number;
    frame->completed_ns = info.completed_ns;
    frame->taken = wall_time_of(info.completed_ns);
    frame->rbfo_set = rbfo_set_;
    frame->rbfo = rbfo_;
    frame->scale = scale_;
    measure_frame(*frame);
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

} // namespace lep3tool::view
