// lep3 stream: live statistics of the video on a refreshing line that fits 80 columns,
// with the link's counters below it when asked for.
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hostkit/command_support.h"
#include "hostkit/command_thread.h"
#include "hostkit/console.h"
#include "hostkit/frame_pump.h"
#include "hostkit/radiometry.h"
#include "hostkit/signals.h"
#include "hostkit/text_format.h"
#include "hostkit/thermography.h"
#include "lep3.h"
#include "tools/commands.h"

namespace lep3tool {

namespace {

constexpr OptionDef kStreamOptions[] = {
    {"rgb", 0, "", "ask the bridge for RGB video instead of raw video"},
    {"seconds", 's', "S", "stop after S seconds (default: run until Ctrl-C)"},
    {"rbfo", 0, "SET", "the camera's RBFO parameters for temperatures: internal (default) or external"},
    {"verbose", 'v', "", "show the link's counters below the line, and the library's messages"},
    {"json", 0, "", "print one JSON object a second for scripts"},
    kTimeoutOption,
};
constexpr auto kOptions = join_options(kStreamOptions, kObjectOptions);

using Clock = std::chrono::steady_clock;

// The rate over the last two seconds of frames.
constexpr Clock::duration kRateWindow = std::chrono::seconds(2);
// Without a terminal the state is printed once a second rather than refreshed.
constexpr Clock::duration kLogInterval = std::chrono::seconds(1);
constexpr Clock::duration kRefreshInterval = std::chrono::milliseconds(200);
// Every line fits a terminal of this width.
constexpr size_t kColumns = 80;

std::string bytes_text(uint64_t n)
{
    if (n >= uint64_t{10} * 1000 * 1000)
        return format_text("%.1f MB", static_cast<double>(n) / 1e6);
    if (n >= uint64_t{10} * 1000)
        return format_text("%.1f kB", static_cast<double>(n) / 1e3);
    return format_text("%" PRIu64 " B", n);
}

// A line cut to the terminal's width, counting characters rather than UTF-8 bytes.
std::string fitted(const std::string &line)
{
    size_t columns = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80)
            continue; // a continuation byte of the character before
        if (++columns > kColumns)
            return line.substr(0, i);
    }
    return line;
}

struct StreamState {
    std::deque<Clock::time_point> recent;
    uint32_t first_number = 0;
    uint32_t last_number = 0;
    uint64_t shown = 0;
    std::optional<float> centre;
};

// What one refresh shows.
struct Report {
    int link = LEP3_LINK_CLOSED;
    double fps = 0;
    uint32_t first = 0;
    uint32_t last = 0;
    uint64_t dropped = 0;
    std::optional<float> centre;
    lep3_link_stats_t stats{};
};

Report take_report(const StreamState &s, const FramePump &pump)
{
    Report r;
    r.link = LEP3_GetLinkState();
    if (s.recent.size() >= 2) {
        const double span = std::chrono::duration<double>(s.recent.back() - s.recent.front()).count();
        if (span > 0)
            r.fps = static_cast<double>(s.recent.size() - 1) / span;
    }
    r.first = s.first_number;
    r.last = s.last_number;
    r.dropped = pump.missed();
    r.centre = s.centre;
    LEP3_GetLinkStats(&r.stats);
    return r;
}

std::vector<std::string> report_lines(const Report &r, bool verbose)
{
    const bool gone = r.link == LEP3_LINK_GONE || r.link == LEP3_LINK_RECONNECTING;
    const std::string state = gone ? "bridge gone, waiting" : format_text("%.1f fps", r.fps);
    const std::string centre = r.centre ? format_text("%.2f °C", static_cast<double>(*r.centre)) : "-";
    std::vector<std::string> lines = {format_text("%s | frames %" PRIu32 "..%" PRIu32 " | dropped %" PRIu64
                                                  " | centre %s",
                                                  state.c_str(), r.first, r.last, r.dropped, centre.c_str())};
    if (verbose) {
        const lep3_link_stats_t &k = r.stats;
        lines.push_back(format_text("  link %s: %s read, %s skipped, %" PRIu64 " reconnects", link_state_name(r.link),
                                    bytes_text(k.bytes_read).c_str(), bytes_text(k.bytes_dropped).c_str(),
                                    k.reconnects));
        lines.push_back(format_text("  reads: %" PRIu64 " failed, %" PRIu64 " empty; byte queue full %" PRIu64 " times",
                                    k.read_failures, k.empty_reads, k.queue_full_episodes));
        lines.push_back(format_text("  frames: %" PRIu64 " raw, %" PRIu64 " RGB, %" PRIu64 " overwritten, %" PRIu64
                                    " bad check bytes",
                                    k.frames_raw, k.frames_rgb, k.frames_overwritten, k.frame_check_errors));
        lines.push_back(format_text("  replies: %" PRIu64 " taken, %" PRIu64 " abandoned, %" PRIu64
                                    " bad check bytes; %" PRIu64 " camera resets",
                                    k.replies_posted, k.replies_abandoned, k.reply_check_errors, k.reset_notices));
    }
    for (auto &line : lines)
        line = fitted(line);
    return lines;
}

std::string report_json(const Report &r, double seconds)
{
    const lep3_link_stats_t &k = r.stats;
    const nlohmann::ordered_json object = {
        {"seconds", std::round(seconds * 1000) / 1000},
        {"link", link_state_name(r.link)},
        {"fps", std::round(r.fps * 10) / 10},
        {"first_frame", r.first},
        {"last_frame", r.last},
        {"dropped", r.dropped},
        {"centre_c",
         r.centre ? nlohmann::ordered_json(std::round(static_cast<double>(*r.centre) * 100) / 100) : nullptr},
        {"stats",
         {{"bytes_read", k.bytes_read},
          {"bytes_dropped", k.bytes_dropped},
          {"frames_raw", k.frames_raw},
          {"frames_rgb", k.frames_rgb},
          {"frames_overwritten", k.frames_overwritten},
          {"replies_posted", k.replies_posted},
          {"replies_abandoned", k.replies_abandoned},
          {"reset_notices", k.reset_notices},
          {"read_failures", k.read_failures},
          {"empty_reads", k.empty_reads},
          {"queue_full_episodes", k.queue_full_episodes},
          {"frame_check_errors", k.frame_check_errors},
          {"reply_check_errors", k.reply_check_errors},
          {"reconnects", k.reconnects}}},
    };
    return object.dump();
}

// Shows the state: refreshed in place on a terminal, a block of lines (or one JSON object)
// a second otherwise.
class Display {
  public:
    Display(bool verbose, bool json) : terminal_(out_is_terminal() && !json), verbose_(verbose), json_(json) {}

    void show(const Report &r, bool last)
    {
        const auto now = Clock::now();
        if (!terminal_ && !last && now - last_print_ < kLogInterval)
            return;
        last_print_ = now;
        if (json_) {
            print("%s\n", report_json(r, std::chrono::duration<double>(now - start_).count()).c_str());
        } else {
            const std::vector<std::string> lines = report_lines(r, verbose_);
            std::string text;
            // Back to the first line of the block drawn before (appended piece by piece:
            // GCC 12 at -O3 reports a false -Wrestrict overlap for "\r" + repeat(...)).
            if (terminal_ && drawn_ > 0)
                text.append("\r").append(repeat("\033[A", drawn_ - 1));
            for (size_t i = 0; i < lines.size(); ++i)
                text += (terminal_ ? "\r\033[K" : "") + lines[i] + (i + 1 < lines.size() || !terminal_ ? "\n" : "");
            if (terminal_ && last)
                text += "\n";
            print("%s", text.c_str());
            drawn_ = lines.size();
        }
        flush_output();
    }

  private:
    static std::string repeat(const char *text, size_t times)
    {
        std::string out;
        for (size_t i = 0; i < times; ++i)
            out += text;
        return out;
    }

    bool terminal_;
    bool verbose_;
    bool json_;
    size_t drawn_ = 0;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_print_ = start_ - kLogInterval;
};

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
    const ObjectSettings object = parse_object_settings(args);

    const auto timeout = frame_timeout(args);

    const auto start = Clock::now();
    Session session(session_options(args));
    check_result(rgb ? LEP3_GetRGBVideo() : LEP3_GetRawVideo(), "the video request");
    FramePump pump;
    auto frame = std::make_unique<Frame>();
    bool have_frame = first_frame(pump, *frame, timeout, session.device());
    // Temperatures come from raw frames only.
    const std::optional<lep3_rbfo_t> rbfo =
        rgb || !have_frame ? std::nullopt : awaiting_reply([&] { return read_rbfo(rbfo_set); });

    Display display(args.has("verbose"), args.has("json"));
    // The last sign of life: a frame, or the bridge's return after an unplug.
    auto last_sign = Clock::now();
    std::vector<float> celsius(kFramePixels);
    StreamState state;
    bool stalled = false;
    while (!stop_requested()) {
        const auto now = Clock::now();
        if (limit && now - start >= *limit)
            break;
        auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(kRefreshInterval);
        if (limit)
            slice = std::min(slice, std::chrono::duration_cast<std::chrono::milliseconds>(*limit - (now - start)) +
                                        std::chrono::milliseconds(1));
        const auto wait = have_frame ? FramePump::Wait::frame : pump.next(*frame, slice);
        have_frame = false;
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
                state.centre =
                    frame_celsius(frame->raw(), *rbfo, celsius, object.given ? &object.params : nullptr).centre;
        } else if (wait == FramePump::Wait::gone) {
            // The session re-opens the bridge when it returns and asks for the video
            // again; the stream resumes then, by itself.
            state.recent.clear();
            last_sign = Clock::now();
        } else if (wait == FramePump::Wait::timed_out && Clock::now() - last_sign > timeout) {
            stalled = true;
        }
        display.show(take_report(state, pump), false);
        if (stalled)
            break;
    }
    // The last state, to stay on the screen.
    display.show(take_report(state, pump), true);
    if (stalled) {
        error("the bridge at %s stopped sending frames: none for %g s (see --timeout)", session.device().c_str(),
              std::chrono::duration<double>(timeout).count());
        return kExitFailure;
    }
    // Ctrl-C is the ordinary way to end a stream without --seconds.
    return kExitOk;
}

} // namespace

const Command kStreamCommand = {
    "stream",
    "[--rgb] [--seconds S] [--verbose] [--json]",
    "show frames a second, frame numbers, dropped frames, centre temperature and link counters",
    "Dropped frames are gaps in the frame numbers: frames the bridge sent that were\n"
    "overwritten before the tool took them. The centre is the temperature of the pixel at\n"
    "row 60, column 80 (the object's, with the object options). Without a terminal the state is printed each second; "
    "--verbose adds\n"
    "the link's counters.\n"
    "An unplugged bridge shows \"bridge gone, waiting\"; the stream resumes when it returns.",
    kOptions,
    run_stream,
};

} // namespace lep3tool
