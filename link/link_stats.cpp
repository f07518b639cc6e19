// Link statistics: counters the reader, the parser, the frame queue and the command
// transactions bump as they go, so a host can tell a silent link from a noisy one.
#include <atomic>

#include "link/link_internal.h"

namespace lep3::link {

LinkCounters link_counters;

} // namespace lep3::link

extern "C" LEP3_API int LEP3_GetLinkStats(lep3_link_stats_t *out)
{
    if (out == nullptr)
        return -5;
    const auto &c = lep3::link::link_counters;
    constexpr auto relaxed = std::memory_order_relaxed;
    out->bytes_read = c.bytes_read.load(relaxed);
    out->bytes_dropped = c.bytes_dropped.load(relaxed);
    out->frames_raw = c.frames_raw.load(relaxed);
    out->frames_rgb = c.frames_rgb.load(relaxed);
    out->frames_overwritten = c.frames_overwritten.load(relaxed);
    out->replies_posted = c.replies_posted.load(relaxed);
    out->replies_abandoned = c.replies_abandoned.load(relaxed);
    out->reset_notices = c.reset_notices.load(relaxed);
    out->read_failures = c.read_failures.load(relaxed);
    out->empty_reads = c.empty_reads.load(relaxed);
    out->queue_full_episodes = c.queue_full_episodes.load(relaxed);
    out->frame_check_errors = c.frame_check_errors.load(relaxed);
    out->reply_check_errors = c.reply_check_errors.load(relaxed);
    out->reconnects = c.reconnects.load(relaxed);
    return 0;
}

extern "C" LEP3_API int LEP3_GetCommandTimeouts(uint64_t *out)
{
    if (out == nullptr)
        return -5;
    *out = lep3::link::link_counters.command_timeouts.load(std::memory_order_relaxed);
    return 0;
}
