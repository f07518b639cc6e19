// Any byte stream through the packet parser's per-byte step into the reply record and the
// frame queue. After every byte the parser's indices must lie inside their buffers, and
// every queued frame must fit its slot.
//
// A stream that ends inside a frame packet's data is completed with copies of its last
// byte, so a few bytes of input reach the frame completions that a literal stream would
// need tens of kilobytes for. The byte queue and the reader's chunking are left out: the
// parser sees one byte at a time whatever the chunks were, and the queue has tests of its own.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "link/link_internal.h"

namespace {

using lep3::link::ParserState;

// The checks and the driving loop are kept out of the coverage instrumentation: their
// comparisons are no part of the parser, and tracing them took most of each input's time.
#define NOT_TRACED __attribute__((no_sanitize("coverage")))

NOT_TRACED void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

NOT_TRACED void check_bounds()
{
    check(parser_state >= 0 && parser_state <= 11 && parser_state != 7 && parser_state != 8, "parser_state");
    check(image_buffer_index >= 0 && image_buffer_index <= static_cast<int32_t>(sizeof image_buffer),
          "image_buffer_index");
    check(command_buffer_index >= 0 && command_buffer_index <= lep3::link::kReplyDataMax, "command_buffer_index");
    check(command_read.data_len >= 0 && command_read.data_len <= lep3::link::kReplyDataMax, "data_len");
    check(frame_desc.size <= lep3::link::kRgbFrameBytes, "frame size");
}

NOT_TRACED void step(uint8_t b)
{
    lep3::link::parse_byte(b);
    // A camera-reset notice raises the flag; the parser loop's reset check would start a
    // re-initialisation thread for it, which is no part of parsing.
    g_lepton_reset_flag = 0;
    check_bounds();
}

NOT_TRACED bool in_frame_data()
{
    return parser_state == static_cast<int32_t>(ParserState::raw_data) ||
           parser_state == static_cast<int32_t>(ParserState::rgb_data);
}

bool set_up()
{
    LEP3_SetMessageHandler(nullptr, nullptr); // the parse errors' messages, silenced
    return frame_queue_init(&frame_queue, static_cast<int32_t>(lep3::link::kRgbFrameBytes), lep3::link::kFrameHeight,
                            lep3::link::kFrameWidth) == 0;
}

} // namespace

extern "C" NOT_TRACED int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = set_up();
    if (!ready || size < 1)
        return 0;
    // Every input starts from a hunting parser so that a crash input reproduces alone.
    lep3::link::reset_parser();

    for (size_t i = 0; i < size; ++i)
        step(data[i]);
    // At most one frame packet's worth: a frame's data state ends with its last byte.
    for (int left = lep3::link::kRgbPacketData; in_frame_data() && left > 0; --left)
        step(data[size - 1]);
    check(!in_frame_data(), "frame packet longer than its data");
    for (int slot = 0; slot < lep3::link::kFrameSlots; ++slot)
        check(frame_queue.slot_desc[slot].size <= lep3::link::kRgbFrameBytes, "slot size");
    return 0;
}
