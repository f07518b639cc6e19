// lep3 stream: live statistics of the video on one refreshing line.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lep3.h"
#include "tools/command_support.h"
#include "tools/command_thread.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/frame_pump.h"
#include "tools/radiometry.h"
#include "tools/signals.h"
#include "tools/text_format.h"

namespace lep3tool {

namespace {

constexpr OptionSpec kOptions[] = {
    {"rgb", 0, "", "ask the bridge for RGB video instead of raw video"},
    {"seconds", 's', "S", "stop after S seconds (default: run until Ctrl-C)"},
    {"rbfo", 0, "SET", "the camera's RBFO parameters for temperatures: internal (default) or external"},
};

using Clock = std::chrono::steady_clock;

// The rate over the last two seconds of frames.
constexpr Clock::duration kRateWindow = std::chrono::seconds(2);
// How long the stream may stall before the tool calls the bridge silent.
constexpr std::chrono::seconds kFrameWait{5};
// Without a terminal the line is printed once a second rather than refreshed.
constexpr Clock::duration kLogInterval = std::chrono::seconds(1);
constexpr Clock::duration kRefreshInterval = std::chrono::milliseconds(200);

std::string bytes_text(uint64_t n)
{
    if (n >= uint64_t{10} * 1000 * 1000)
        return format_text("%.1f MB", static_cast<double>(n) / 1e6);
    if (n >= uint64_t{10} * 1000)
        return format_text("%.1f kB", static_cast<double>(n) / 1e3);
    return format_text("%" PRIu64 " B", n);
}

struct StreamState {
    std::deque<Clock::time_point> recent;
    uint32_t first_number = 0;
    uint32_t last_number = 0;
    uint64_t shown = 0;
    std::optional<float> centre;
};

std::string status_line(const StreamState &s, const FramePump &pump)
{
    const int link_state = LEP3_GetLinkState();
    if (link_state == LEP3_LINK_GONE || link_state == LEP3_LINK_RECONNECTING)
        return format_text("bridge gone, waiting | frames %" PRIu32 "..%" PRIu32 " | dropped %" PRIu64, s.first_number,
                           s.last_number, pump.missed());
    double fps = 0;
    if (s.recent.size() >= 2) {
        const double span = std::chrono::duration<double>(s.recent.back() - s.recent.front()).count();
        if (span > 0)
            fps = static_cast<double>(s.recent.size() - 1) / span;
    }
    const std::string centre = s.centre ? format_text("%.2f °C", static_cast<double>(*s.centre)) : "-";
    lep3_link_stats_t link{};
    LEP3_GetLinkStats(&link);
    return format_text(
        "%.1f fps | frames %" PRIu32 "..%" PRIu32 " | dropped %" PRIu64 " | centre %s | link: %s read, %s "
        "skipped, %" PRIu64 " raw, %" PRIu64 " rgb, %" PRIu64 " overwritten, %" PRIu64 " replies, %" PRIu64
        " abandoned, %" PRIu64 " resets, %" PRIu64 " read errors",
        fps, s.first_number, s.last_number, pump.missed(), centre.c_str(), bytes_text(link.bytes_read).c_str(),
        bytes_text(link.bytes_dropped).c_str(), link.frames_raw, link.frames_rgb, link.frames_overwritten,
        link.replies_posted, link.replies_abandoned, link.reset_notices, link.read_failures);
}

int run_stream(const ParsedArgs &args)
{
    if (!args.positionals().empty())
        throw UsageError("stream takes no arguments");
    const bool rgb = args.has("rgb");
    std::optional<Clock::duration> limit;
    if (auto s = args.value("seconds")) {
        const double seconds = parse_number(*s, "--seconds");
        if (seconds <= 0)
            throw UsageError("--seconds must be above 0");
        limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
    const RbfoSet rbfo_set = args.value("rbfo") ? parse_rbfo_set(*args.value("rbfo")) : RbfoSet::internal;

    Session session(session_options(args));
    // Temperatures come from raw frames only.
    const std::optional<lep3_rbfo_t> rbfo = rgb ? std::nullopt : awaiting_reply([&] { return read_rbfo(rbfo_set); });
    check_result(rgb ? LEP3_GetRGBVideo() : LEP3_GetRawVideo(), "the video request");
    FramePump pump;

    const bool terminal = out_is_terminal();
    const auto start = Clock::now();
    auto last_print = start - kLogInterval;
    // The last sign of life: a frame, or the bridge's return after an unplug.
    auto last_sign = start;
    auto frame = std::make_unique<Frame>();
    std::vector<float> celsius(kFramePixels);
    StreamState state;
    std::string line;
    bool stalled = false;
    while (!stop_requested()) {
        const auto now = Clock::now();
        if (limit && now - start >= *limit)
            break;
        auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(kRefreshInterval);
        if (limit)
            slice = std::min(slice, std::chrono::duration_cast<std::chrono::milliseconds>(*limit - (now - start)) +
                                        std::chrono::milliseconds(1));
        const auto wait = pump.next(*frame, slice);
        if (wait == FramePump::Wait::frame) {
            const auto arrived = Clock::now();
            last_sign = arrived;
            state.recent.push_back(arrived);
            while (arrived - state.recent.front() > kRateWindow)
                state.recent.pop_front();
            if (state.first_number == 0)
                state.first_number = frame->number;
            state.last_number = frame->number;
            ++state.shown;
            if (rbfo && frame->format == kFormatRaw)
                state.centre = frame_celsius(frame->raw(), *rbfo, celsius).centre;
        } else if (wait == FramePump::Wait::gone) {
            // The session re-opens the bridge when it returns and asks for the video
            // again; the stream resumes then, by itself.
            state.recent.clear();
            last_sign = Clock::now();
        } else if (wait == FramePump::Wait::timed_out && Clock::now() - last_sign > kFrameWait) {
            stalled = true;
        }
        line = status_line(state, pump);
        if (terminal) {
            print("\r\033[K%s", line.c_str());
            flush_output();
        } else if (Clock::now() - last_print >= kLogInterval) {
            print("%s\n", line.c_str());
            flush_output();
            last_print = Clock::now();
        }
        if (stalled)
            break;
    }
    // The last state, as a line of its own.
    print(terminal ? "\r\033[K%s\n" : "%s\n", status_line(state, pump).c_str());
    flush_output();
    if (stalled && state.shown == 0) {
        error("no frame from the bridge at %s for 5 seconds", session.device().c_str());
        return kExitFailure;
    }
    if (stalled) {
        error("the bridge at %s stopped sending frames", session.device().c_str());
        return kExitFailure;
    }
    // Ctrl-C is the ordinary way to end a stream without --seconds.
    return kExitOk;
}

} // namespace

const Command kStreamCommand = {
    "stream",
    "[--rgb] [--seconds S]",
    "show frames a second, frame numbers, dropped frames, centre temperature and link counters",
    "Dropped frames are gaps in the frame numbers: frames the bridge sent that were\n"
    "overwritten before the tool took them. Without a terminal a line is printed each second.\n"
    "An unplugged bridge shows \"bridge gone, waiting\"; the stream resumes when it returns.",
    kOptions,
    run_stream,
};

} // namespace lep3tool
