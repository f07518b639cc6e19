// The packet parser: the state table that turns the bridge's byte stream into posted
// replies, queued frames and camera-reset notices. One byte per call; the numbered
// states are those hosts see in parser_state.
//
// Every store is bounded by its buffer: frame data by the packet's fixed size, reply
// data by the record's 48 bytes (a longer reply is skipped whole, body and all, storing
// nothing).
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>

#include "link/byte_queue.h"
#include "link/console.h"
#include "link/crc8.h"
#include "link/link_internal.h"

extern "C" {
LEP3_API int32_t parser_state;
LEP3_API int32_t packet_len;
LEP3_API int32_t switch_count;
LEP3_API int32_t command_buffer_index;
LEP3_API int32_t image_buffer_index;
LEP3_API uint8_t image_buffer[58560];
LEP3_API uint8_t tmp_image_buffer[57600];
LEP3_API uint16_t lepton_image[19200];
LEP3_API int32_t parser_i;
LEP3_API int32_t parser_j;
LEP3_API int32_t frame_assemble[3];
LEP3_API int32_t g_lepton_reset_flag;
LEP3_API frame_desc_t frame_desc;
}

namespace lep3::link {

static_assert(sizeof image_buffer == kRgbPacketData);
static_assert(sizeof tmp_image_buffer == kRgbFrameBytes);
static_assert(sizeof lepton_image == kRawFrameBytes);

namespace {

constexpr int kFrameAssembleMarker = 2; // the word of frame_assemble cleared at every frame header

std::atomic<ThreadRoutine> reinit_routine{LEP3_Daemon_Thr};

// The parser's own state beside the exported variables; only the parsing thread touches it.
enum class CheckByte : uint8_t { none, frame, reply }; // what the next byte is the check byte of
struct Trail {
    uint8_t crc = 0; // CRC-8 of the packet so far, from its first sync byte
    CheckByte pending = CheckByte::none;
    int32_t skip = 0;      // body bytes of an over-long reply still to pass over
    int32_t skipped = 0;   // body bytes passed over so far
    uint8_t skip_sync = 0; // sync bytes just passed over in the body: 0, 1 (AA) or 2 (AA 55)
    // skip != 0 or pending != none: the next byte leaves the common path. One word for
    // the test every byte makes; set with either, recomputed when trail_byte is done.
    bool off_path = false;
};
Trail trail;

// The run path's CRC of the frame data stored so far: frame data leaves trail.crc alone
// until the packet is complete, so each run can join a register of its own as it is
// stored, and the frame's last run is all that remains to fold when it completes. Valid
// while `upto` is where the data ends (a reset or a byte stored otherwise breaks that, and
// the whole data is folded at completion as the byte path does).
struct DataFold {
    int32_t upto = -1;
    uint8_t crc = 0;
};
DataFold data_fold;

void go(ParserState next)
{
    parser_state = static_cast<int32_t>(next);
}

void drop(uint64_t bytes)
{
    bump(link_counters.bytes_dropped, bytes);
}

void abandon_reply()
{
    bump(link_counters.replies_abandoned);
    go(ParserState::hunt);
}

void start_frame(uint32_t format, uint32_t size, ParserState next)
{
    frame_desc.format = format;
    frame_desc.size = size;
    steps::frame_header(next);
}

// Copies the payload of each video packet, without its head, into tmp_image_buffer.
void strip_heads(size_t packet_size, size_t payload)
{
    for (int k = 0; k < kVideoPackets; ++k) {
        const auto n = static_cast<size_t>(k);
        std::memcpy(&tmp_image_buffer[n * payload], &image_buffer[n * packet_size + kVideoPacketHead], payload);
        parser_i = k + 1;
    }
}

// The check byte of the packet just completed: compared, counted, and for a frame
// reported to the frame queue. The packet was delivered already, whatever the byte says.
void settle_check(uint8_t b)
{
    const bool matched = b == trail.crc;
    if (trail.pending == CheckByte::frame) {
        if (!matched)
            bump(link_counters.frame_check_errors);
        note_frame_check(matched);
    } else if (!matched) {
        bump(link_counters.reply_check_errors);
    }
    trail.pending = CheckByte::none;
}

void end_skip()
{
    trail.skip = 0;
    trail.skipped = 0;
    trail.skip_sync = 0;
}

// One byte of an over-long reply's body: passed over, unless it shows the "reply" is none.
// Most such "replies" are sync pairs that the hunt found inside frame data (a host that
// opens the port while the bridge streams starts in the middle of a frame) with a packet
// number or a pixel byte for a length; passing over up to 255 bytes there would swallow the
// next frame's head, or the answer to the host's first request, every time. So a third
// body byte that is no reply type ends the skip and goes to the hunt itself (it may be the
// next packet's first sync byte), and AA 55 FF ends it with the table taking the FF as a
// length byte.
bool skip_byte(uint8_t b)
{
    if (trail.skipped == kReplyHeadBytes - 1 && b > kTypeMax) {
        end_skip();
        return false;
    }
    if (trail.skip_sync == 2 && b == kFrameLength) {
        end_skip();
        trail.crc = crc8_step(crc8_step(0, kSync0), kSync1);
        go(ParserState::length);
        return false;
    }
    --trail.skip;
    ++trail.skipped;
    trail.skip_sync = b == kSync0 ? 1 : (trail.skip_sync == 1 && b == kSync1 ? 2 : 0);
    if (trail.skip == 0)
        end_skip();
    drop(1);
    return true;
}

// A byte that meets a skipped body or a pending check byte: off the common path.
bool trail_byte(uint8_t b)
{
    const bool skipped = trail.skip > 0 && skip_byte(b);
    if (!skipped) {
        if (trail.pending != CheckByte::none)
            settle_check(b);
        trail.crc = crc8_step(trail.crc, b);
    }
    trail.off_path = trail.skip != 0 || trail.pending != CheckByte::none;
    return skipped;
}

// Every byte, ahead of the table: one test on the common path, then the CRC step.
inline bool ahead_of_table(uint8_t b)
{
    if (trail.off_path) [[unlikely]]
        return trail_byte(b);
    trail.crc = crc8_step(trail.crc, b);
    return false;
}

void clear_reply_record()
{
    clear_reply_fields();
    publish_reply_state(kReplyCleared);
}

void complete_raw_frame()
{
    steps::assemble_raw_frame();
    bump(link_counters.frames_raw);
    LEP3_SendFrameToQueue(reinterpret_cast<const uint8_t *>(lepton_image), &frame_desc);
    steps::expect_frame_check();
}

void complete_rgb_frame()
{
    image_buffer_index = 0;
    go(ParserState::hunt);
    strip_heads(kRgbVideoPacket, kRgbPayload);
    ++frame_desc.frame_number;
    bump(link_counters.frames_rgb);
    LEP3_SendFrameToQueue(tmp_image_buffer, &frame_desc);
    steps::expect_frame_check();
}

void complete_reply()
{
    steps::expect_reply_check();
    if (load_reply_field(command_read.command_id) == kResetNoticeId) {
        // Not an answer to any request: the waiting transaction stays waiting.
        std::atomic_ref<int32_t>(g_lepton_reset_flag).store(1, std::memory_order_relaxed);
        bump(link_counters.reset_notices);
        return;
    }
    publish_reply_state(kReplyPosted);
    bump(link_counters.replies_posted);
}

} // namespace

namespace steps {

bool before_table(uint8_t b)
{
    return ahead_of_table(b);
}

void expect_frame_check()
{
    trail.pending = CheckByte::frame;
    trail.off_path = true;
}

void expect_reply_check()
{
    trail.pending = CheckByte::reply;
    trail.off_path = true;
}

void hunt(uint8_t b)
{
    if (b == kSync0) {
        trail.crc = crc8_step(0, b); // a packet may start here
        go(ParserState::sync);
        return;
    }
    drop(1);
}

void sync(uint8_t b)
{
    if (b == kSync1) {
        go(ParserState::length);
        return;
    }
    drop(2); // the 0xAA that looked like a packet start, and this byte
    go(ParserState::hunt);
}

void frame_tag(uint8_t b)
{
    go(b == kFrameTag ? ParserState::mode : ParserState::hunt);
}

void reply_length(uint8_t b, bool clear_record)
{
    if (b > kReplyHeadBytes + kReplyDataMax) {
        // More data than the record holds: the record is left as it is and the L bytes
        // the length announces are passed over unread, so nothing in the body (a reply
        // quoted in it, say) can pass for a reply; only a third byte that is no reply type
        // or a frame packet's start ends the skip early (skip_byte). The hunt resumes at the
        // check byte.
        abandon_reply();
        trail.skip = b;
        trail.off_path = true;
        return;
    }
    packet_len = b;
    if (clear_record)
        clear_reply_record();
    command_buffer_index = 0;
    go(ParserState::command_id);
}

void command_id(uint8_t b)
{
    if (switch_count == 0) {
        store_reply_field(command_read.command_id, static_cast<uint16_t>(b << 8));
        switch_count = 1;
        return;
    }
    store_reply_field(command_read.command_id, static_cast<uint16_t>(load_reply_field(command_read.command_id) | b));
    switch_count = 0;
    go(ParserState::type);
}

void type(uint8_t b)
{
    if (b > kTypeMax) {
        lep3::console::print("error10 %x \n", b);
        abandon_reply();
        return;
    }
    store_reply_field(command_read.type, int32_t{b});
    command_buffer_index = 0;
    go(ParserState::data);
}

bool reply_data(uint8_t b)
{
    const int32_t expected = packet_len - kReplyHeadBytes;
    if (expected <= command_buffer_index || command_buffer_index >= kReplyDataMax) {
        lep3::console::put_line("error");
        abandon_reply();
        return false;
    }
    store_reply_field(command_read.data[command_buffer_index++], b);
    if (command_buffer_index != expected)
        return false;
    store_reply_field(command_read.data_len, expected);
    command_buffer_index = 0;
    go(ParserState::hunt);
    return true;
}

void frame_header(ParserState next)
{
    frame_assemble[kFrameAssembleMarker] = 0;
    image_buffer_index = 0;
    go(next);
}

bool frame_data(uint8_t b, int total)
{
    // Indices past the packet drop the byte and stay: nothing is stored outside it.
    if (static_cast<uint32_t>(image_buffer_index) >= static_cast<uint32_t>(total))
        return false;
    image_buffer[image_buffer_index++] = b;
    return image_buffer_index == total;
}

void assemble_raw_frame()
{
    image_buffer_index = 0;
    go(ParserState::hunt);
    strip_heads(kRawVideoPacket, kRawPayload);
    // High byte first on the wire. Read as whole 16-bit words and swapped where the host is
    // little-endian, which the compiler turns into vector shifts.
    for (size_t p = 0; p < kPixels; ++p) {
        uint16_t word = 0;
        std::memcpy(&word, &tmp_image_buffer[2 * p], sizeof word);
        if constexpr (std::endian::native == std::endian::little)
            word = static_cast<uint16_t>(word << 8 | word >> 8);
        lepton_image[p] = word;
    }
    parser_j = static_cast<int32_t>(kRawFrameBytes);
    ++frame_desc.frame_number;
}

} // namespace steps

namespace {

// The table's rows other than frame data, out of line: a few bytes a packet meet them.
[[gnu::noinline]] void other_rows(uint8_t b, ParserState state)
{
    switch (state) {
    case ParserState::hunt:
        steps::hunt(b);
        break;
    case ParserState::sync:
        steps::sync(b);
        break;
    case ParserState::length:
        if (b == kFrameLength)
            go(ParserState::frame_tag);
        else
            steps::reply_length(b, true);
        break;
    case ParserState::frame_tag:
        steps::frame_tag(b);
        break;
    case ParserState::mode:
        if (b == kModeRaw)
            start_frame(kFormatRaw, kRawFrameBytes, ParserState::raw_data);
        else if (b == kModeRgb)
            start_frame(kFormatRgb, kRgbFrameBytes, ParserState::rgb_data);
        else
            go(ParserState::hunt);
        break;
    case ParserState::raw_data:
    case ParserState::rgb_data:
        break; // taken by step
    case ParserState::command_id:
        steps::command_id(b);
        break;
    case ParserState::type:
        steps::type(b);
        break;
    case ParserState::data:
        if (steps::reply_data(b))
            complete_reply();
        break;
    default:
        // States outside the table keep their value and drop the byte.
        break;
    }
}

// A frame packet's data, stored whole: its bytes join the packet's CRC in one run.
void fold_frame_data(int total)
{
    trail.crc = crc8_run(trail.crc, image_buffer, static_cast<size_t>(total));
}

// One byte through the table. Nearly every byte is frame data, so those two rows are
// tested first and stored inline; every other row goes through other_rows. A pending
// check byte or a skipped body never meets frame data (the check byte is the byte after
// its packet, and a skip ends at a frame's start at the latest), so frame data is only
// stored, and joins the packet's CRC in one run when the packet is complete.
[[gnu::always_inline]] inline void step(uint8_t b)
{
    const auto state = static_cast<ParserState>(parser_state);
    if (state == ParserState::rgb_data) {
        if (steps::frame_data(b, kRgbPacketData)) {
            fold_frame_data(kRgbPacketData);
            complete_rgb_frame();
        }
        return;
    }
    if (state == ParserState::raw_data) {
        if (steps::frame_data(b, kRawPacketData)) {
            fold_frame_data(kRawPacketData);
            complete_raw_frame();
        }
        return;
    }
    if (ahead_of_table(b))
        return;
    other_rows(b, static_cast<ParserState>(parser_state)); // a skip's end may have moved it
}
// The data size of the frame packet being received, or 0 outside frame data.
int frame_data_total()
{
    const auto state = static_cast<ParserState>(parser_state);
    return state == ParserState::rgb_data ? kRgbPacketData : state == ParserState::raw_data ? kRawPacketData : 0;
}

} // namespace

void parse_byte(uint8_t b)
{
    step(b);
}

void parse_bytes(std::span<const uint8_t> bytes)
{
    // A frame packet's data goes into image_buffer in runs as long as the chunk and the
    // packet allow; every other byte takes the table one at a time, as parse_byte does.
    // Frame data never raises the reset flag, so testing it after each run or byte starts
    // the re-initialisation after the same byte as the classic loop would.
    const uint8_t *at = bytes.data();
    const uint8_t *const end = at + bytes.size();
    while (at != end) {
        const int total = frame_data_total();
        if (total != 0 && static_cast<uint32_t>(image_buffer_index) < static_cast<uint32_t>(total)) {
            const int32_t from = image_buffer_index;
            const auto run = std::min(static_cast<size_t>(end - at), static_cast<size_t>(total - from));
            std::memcpy(&image_buffer[from], at, run);
            image_buffer_index += static_cast<int32_t>(run);
            at += run;
            if (from == 0)
                data_fold = DataFold{0, trail.crc};
            if (data_fold.upto == from) {
                data_fold.crc = crc8_run(data_fold.crc, &image_buffer[from], run);
                data_fold.upto = image_buffer_index;
            }
            if (image_buffer_index == total) {
                if (data_fold.upto == total)
                    trail.crc = data_fold.crc;
                else
                    fold_frame_data(total);
                data_fold.upto = -1;
                if (total == kRgbPacketData)
                    complete_rgb_frame();
                else
                    complete_raw_frame();
            }
        } else {
            step(*at++);
        }
        if (reset_requested()) [[unlikely]]
            reset_check();
    }
}

int32_t frame_bytes_missing()
{
    const int total = frame_data_total();
    return total != 0 && image_buffer_index < total ? total - image_buffer_index : 0;
}

void parse_pass()
{
    // Waits for a byte, then takes every byte the queue holds, each on its own under the
    // lock and each followed by the reset check, as one pass a byte would; only the call
    // and the stack frame around them are spared.
    if (byte_queue::empty(uart_queue))
        byte_queue::wait_for_byte(uart_queue);
    // The queue is tested again before every take, as a pass a byte would: a firmware
    // update clears it while this loop runs.
    do {
        byte_queue::lock(uart_queue.lock);
        const uint8_t b = byte_queue::take_locked(uart_queue);
        byte_queue::unlock(uart_queue.lock);
        step(b);
        if (reset_requested()) [[unlikely]]
            reset_check();
    } while (!byte_queue::empty(uart_queue));
}

void reset_parser()
{
    parser_state = static_cast<int32_t>(ParserState::hunt);
    packet_len = 0;
    switch_count = 0;
    command_buffer_index = 0;
    image_buffer_index = 0;
    trail = Trail{};
    data_fold = DataFold{};
}

void set_reinit_routine(ThreadRoutine routine)
{
    reinit_routine.store(routine, std::memory_order_relaxed);
}

namespace {

// Out of line: the pass that meets the flag once in a camera's reset keeps a small frame.
[[gnu::noinline]] void start_reinit()
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    pthread_create(&thread, &attr, reinit_routine.load(std::memory_order_relaxed), nullptr);
    pthread_attr_destroy(&attr);
}

} // namespace

void reset_check()
{
    // Tested after every byte; anyone may raise the flag, only the parser clears it.
    std::atomic_ref<int32_t> flag(g_lepton_reset_flag);
    if (flag.load(std::memory_order_relaxed) != 1)
        return;
    flag.store(0, std::memory_order_relaxed);
    start_reinit();
}

} // namespace lep3::link
