// Any byte stream, in any chunking, through the byte queue and the packet parser into the
// reply record and the frame queue. The first input byte picks the chunk sizes the
// stream is queued in; the rest is the stream. After every byte the parser's indices
// must lie inside their buffers, and every queued frame must fit its slot.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/link_internal.h"

namespace {

void *no_reinit(void *)
{
    return nullptr;
}

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void check_bounds()
{
    check(parser_state >= 0 && parser_state <= 11 && parser_state != 7 && parser_state != 8, "parser_state");
    check(image_buffer_index >= 0 && image_buffer_index <= static_cast<int32_t>(sizeof image_buffer),
          "image_buffer_index");
    check(command_buffer_index >= 0 && command_buffer_index <= lep3::link::kReplyDataMax, "command_buffer_index");
    check(command_read.data_len >= 0 && command_read.data_len <= lep3::link::kReplyDataMax, "data_len");
    check(frame_desc.size <= lep3::link::kRgbFrameBytes, "frame size");
}

bool set_up()
{
    // The library prints a line per parse error; keep the fuzzer's output readable.
    std::freopen("/dev/null", "w", stdout);
    lep3::link::set_reinit_routine(no_reinit);
    return queue_init(&uart_queue, lep3::link::kUartQueueBytes) == 0 &&
           frame_queue_init(&frame_queue, static_cast<int32_t>(lep3::link::kRgbFrameBytes), lep3::link::kFrameHeight,
                            lep3::link::kFrameWidth) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = set_up();
    if (!ready || size < 1)
        return 0;
    // Every input starts from a hunting parser so that a crash input reproduces alone.
    lep3::link::reset_parser();

    const unsigned chunk_seed = data[0];
    const uint8_t *stream = data + 1;
    size_t left = size - 1;
    unsigned round = 0;
    while (left > 0) {
        const size_t chunk = 1 + ((chunk_seed * 31u + round++ * 17u) % 1024u);
        const auto n = static_cast<int32_t>(chunk < left ? chunk : left);
        enqueue_multi(&uart_queue, stream, n);
        for (int32_t i = 0; i < n; ++i) {
            lep3::link::parse_byte(dequeue_single(&uart_queue));
            lep3::link::reset_check();
            check_bounds();
        }
        stream += n;
        left -= static_cast<size_t>(n);
    }
    for (int slot = 0; slot < lep3::link::kFrameSlots; ++slot)
        check(frame_queue.slot_desc[slot].size <= lep3::link::kRgbFrameBytes, "slot size");
    return 0;
}
