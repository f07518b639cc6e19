// The two ways a byte stream goes through the state table: the classic pass (the chunk put
// into uart_queue, then parse_pass takes it a byte at a time, as LEP3_Parse_Thr does) and
// the session's (parse_bytes on each chunk, frame data in runs). Either runs from a fresh
// link and records what it delivered after every chunk, so a test or a fuzz target can run
// both on the same chunks and compare the records. Header-only: the fuzz targets use it
// without the test framework.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "link/link_internal.h"

namespace lep3::test {

// Everything visible after a chunk: parser variables, the reply record, the counters since
// the run began, the newest frame (hashed, with its facts) and the messages printed.
struct Delivered {
    struct Words {
        int32_t state, packet_len, switch_count, command_index, image_index, parser_i, parser_j, reset_flag;
        int32_t reply_state, newest_slot, write_slot, check;
        frame_desc_t desc, newest_desc;
        command_read_t reply;
        lep3_link_stats_t counters;
        uint64_t newest_hash;
    } words;
    std::string messages;

    bool operator==(const Delivered &other) const
    {
        return std::memcmp(&words, &other.words, sizeof words) == 0 && messages == other.messages;
    }
};

enum class Path { classic, session };

inline const char *name(Path path)
{
    return path == Path::classic ? "classic" : "session";
}

namespace detail {

inline std::string printed;
inline std::atomic<int> reinit_threads{0};

inline void keep_message(int /*stream*/, const char *text, void * /*context*/)
{
    printed += text;
}

inline void *count_reinit(void * /*arg*/)
{
    reinit_threads.fetch_add(1);
    return nullptr;
}

inline uint64_t fnv1a(std::span<const uint8_t> bytes)
{
    uint64_t h = 1469598103934665603U;
    for (const uint8_t b : bytes)
        h = (h ^ b) * 1099511628211U;
    return h;
}

inline lep3_link_stats_t counters()
{
    lep3_link_stats_t s{};
    LEP3_GetLinkStats(&s);
    return s;
}

} // namespace detail

class ParseRun {
  public:
    // A fresh link: hunting parser, cleared record, empty queues; messages kept, the
    // re-initialisation routine counted instead of run.
    ParseRun()
    {
        LEP3_SetMessageHandler(detail::keep_message, nullptr);
        link::set_reinit_routine(detail::count_reinit);
        link::reset_parser();
        parser_i = parser_j = 0;
        g_lepton_reset_flag = 0;
        command_read = command_read_t{};
        frame_desc = frame_desc_t{0, 0, link::kFrameWidth, link::kFrameHeight, link::kPixels, 0};
        last_delivered = 0;
        queue_clear(&uart_queue);
        queue_init(&uart_queue, link::kUartQueueBytes);
        frame_queue_free(&frame_queue);
        frame_queue_init(&frame_queue, static_cast<int32_t>(link::kRgbFrameBytes), link::kFrameHeight,
                         link::kFrameWidth);
        detail::printed.clear();
        base_ = detail::counters();
        frames_seen_ = base_.frames_raw + base_.frames_rgb;
    }
    ~ParseRun() { LEP3_SetMessageHandler(LEP3_ConsoleMessages, nullptr); }
    ParseRun(const ParseRun &) = delete;
    ParseRun &operator=(const ParseRun &) = delete;

    void feed(Path path, std::span<const uint8_t> chunk)
    {
        if (chunk.empty())
            return;
        if (path == Path::session) {
            link::parse_bytes(chunk);
        } else {
            // The queue holds less than two frame packets: a long chunk goes in pieces, which
            // the classic pass, a byte at a time, cannot tell from one.
            constexpr size_t kPiece = link::kUartQueueBytes / 2;
            for (size_t at = 0; at < chunk.size(); at += kPiece) {
                const size_t n = std::min(kPiece, chunk.size() - at);
                link::put_bytes(uart_queue, chunk.data() + at, static_cast<int32_t>(n));
                link::parse_pass();
            }
        }
        record();
    }

    const std::vector<Delivered> &record_so_far() const { return record_; }

    // Re-initialisation threads started by all runs so far (they run detached, so a
    // caller waits for the count it expects).
    static int reinit_threads() { return detail::reinit_threads.load(); }

  private:
    void record()
    {
        Delivered d{};
        std::memset(&d.words, 0, sizeof d.words);
        auto &w = d.words;
        w.state = parser_state;
        w.packet_len = packet_len;
        w.switch_count = switch_count;
        w.command_index = command_buffer_index;
        w.image_index = image_buffer_index;
        w.parser_i = parser_i;
        w.parser_j = parser_j;
        w.reset_flag = g_lepton_reset_flag;
        w.desc = frame_desc;
        w.reply = link::snapshot_reply();
        w.reply_state = link::load_reply_state();
        const lep3_link_stats_t now = detail::counters();
        constexpr size_t kCounters = sizeof now / sizeof(uint64_t);
        uint64_t a[kCounters], b[kCounters], diff[kCounters];
        std::memcpy(a, &now, sizeof now);
        std::memcpy(b, &base_, sizeof base_);
        for (size_t i = 0; i < kCounters; ++i)
            diff[i] = a[i] - b[i];
        std::memcpy(&w.counters, diff, sizeof diff);
        const uint64_t frames = now.frames_raw + now.frames_rgb;
        w.newest_slot = frame_queue.last_pos;
        w.write_slot = frame_queue.write_pos;
        w.newest_desc = frame_queue.slot_desc[frame_queue.last_pos];
        link::FrameFacts facts;
        w.check = link::peek_newest_frame(facts) ? static_cast<int32_t>(facts.check) : -2;
        if (frames != frames_seen_) {
            // Hashed only when a frame came: the newest slot is the one it went into.
            frames_seen_ = frames;
            last_hash_ = detail::fnv1a({frame_queue.slot[frame_queue.last_pos], w.newest_desc.size});
        }
        w.newest_hash = last_hash_;
        d.messages = std::move(detail::printed);
        detail::printed.clear();
        record_.push_back(std::move(d));
    }

    lep3_link_stats_t base_{};
    uint64_t frames_seen_ = 0;
    uint64_t last_hash_ = 0;
    std::vector<Delivered> record_;
};

// Runs the stream in the given chunks (sizes; the last chunk takes whatever is left) down
// one path and returns its record.
inline std::vector<Delivered> run_path(Path path, std::span<const uint8_t> stream, std::span<const size_t> sizes)
{
    ParseRun run;
    size_t at = 0;
    for (size_t i = 0; at < stream.size(); ++i) {
        const size_t n = i < sizes.size() ? std::min(sizes[i], stream.size() - at) : stream.size() - at;
        run.feed(path, stream.subspan(at, n));
        at += n;
    }
    return run.record_so_far();
}

} // namespace lep3::test
