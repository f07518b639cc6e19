#include "serve/notifier.h"

#include <ctime>
#include <utility>

#include "hostkit/console.h"
#include "hostkit/text_format.h"
#include "lep3.h"

#ifdef LEP3_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace lep3tool::serve {

namespace {

// Longer than this without a frame while the bridge is there: it is silent.
constexpr std::chrono::seconds kFrameGap{1};
// The frame rate in the status line is renewed this often while streaming.
constexpr std::chrono::seconds kStatusRefresh{10};

// sd_notify, when the build has it; systemd ignores what it does not know, and a process
// that no service manager started has no NOTIFY_SOCKET: both are fine.
void notify(const std::string &text)
{
#ifdef LEP3_HAVE_SYSTEMD
    (void)sd_notify(0, text.c_str());
#else
    (void)text;
#endif
}

std::chrono::microseconds watchdog_interval()
{
#ifdef LEP3_HAVE_SYSTEMD
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0)
        return std::chrono::microseconds(usec);
#endif
    return std::chrono::microseconds(0);
}

std::string time_of_day()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[16] = "";
    if (localtime_r(&now, &local) != nullptr)
        (void)std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

bool link_gone(int link)
{
    return link == LEP3_LINK_GONE || link == LEP3_LINK_RECONNECTING;
}

} // namespace

Notifier::Notifier(std::string device, std::chrono::milliseconds grace, const ServiceLog &log)
    : device_(std::move(device)), grace_(grace), log_(log), ping_interval_(watchdog_interval() / 2),
      started_(Clock::now()), last_sign_(started_), phase_since_(time_of_day()), phase_began_(started_)
{
    last_status_text_ = status_text(Look{});
    last_status_ = started_;
    notify("STATUS=" + last_status_text_);
    log_.say(kLogInfo, "%s", last_status_text_.c_str());
}

Notifier::Phase Notifier::phase_of(const Look &look, Clock::time_point now) const
{
    if (frames_ == 0)
        return Phase::waiting;
    if (link_gone(look.link))
        return Phase::gone;
    return now - last_sign_ > kFrameGap ? Phase::silent : Phase::streaming;
}

std::string Notifier::status_text(const Look &look) const
{
    std::string text;
    switch (phase_) {
    case Phase::waiting:
        text = "waiting for the first frame from " + device_;
        break;
    case Phase::streaming:
        text = format_text("streaming %.1f frames/s from %s", look.fps, device_.c_str());
        break;
    case Phase::silent:
        text = "the bridge at " + device_ + " is silent: no frame since " + phase_since_;
        break;
    case Phase::gone:
        text = "the bridge at " + device_ + " is gone since " + phase_since_ + "; waiting for it to return";
        break;
    }
    if (!pinging_ && ping_interval_.count() > 0)
        text += format_text("; no frame for longer than %.1f s, so the watchdog's pings have stopped",
                            std::chrono::duration<double>(grace_).count());
    return text;
}

void Notifier::observe(const Look &look, Clock::time_point now)
{
    if (look.frames != frames_) {
        frames_ = look.frames;
        last_sign_ = now;
    }
    // A bridge that came back has a moment to deliver before it counts as silent.
    if (link_gone(last_link_) && !link_gone(look.link))
        last_sign_ = now;
    last_link_ = look.link;

    bool say = false;
    const Phase phase = phase_of(look, now);
    if (phase != phase_) {
        const Phase was = phase_;
        const double away = std::chrono::duration<double>(now - phase_began_).count();
        phase_ = phase;
        phase_began_ = now;
        phase_since_ = time_of_day();
        say = true;
        if (phase == Phase::streaming && was != Phase::waiting)
            log_.say(kLogNotice, "frames from %s resume after %.1f s", device_.c_str(), away);
        else if (phase != Phase::streaming)
            log_.say(kLogWarning, "%s", status_text(look).c_str());
    }
    if (!ready_ && frames_ > 0) {
        ready_ = true;
        notify("READY=1");
        log_.say(kLogNotice, "the first frame from %s has arrived: ready", device_.c_str());
    }

    const bool fresh = now - (frames_ > 0 ? last_sign_ : started_) <= grace_;
    if (fresh != pinging_) {
        pinging_ = fresh;
        say = true;
        if (ping_interval_.count() > 0 && fresh)
            log_.say(kLogNotice, "frames flow again: the watchdog's pings resume");
        else if (ping_interval_.count() > 0)
            log_.say(kLogWarning,
                     "no frame for longer than the grace of %.1f s: the watchdog's pings stop, so that systemd "
                     "restarts the service",
                     std::chrono::duration<double>(grace_).count());
    }
    if (pinging_ && ping_interval_.count() > 0 && now - last_ping_ >= ping_interval_) {
        notify("WATCHDOG=1");
        last_ping_ = now;
    }

    const std::string text = status_text(look);
    if (text != last_status_text_ && (say || now - last_status_ >= kStatusRefresh)) {
        notify("STATUS=" + text);
        last_status_text_ = text;
        last_status_ = now;
    }
}

void Notifier::stopping()
{
    notify("STOPPING=1\nSTATUS=stopping");
}

} // namespace lep3tool::serve
