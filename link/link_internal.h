// Declarations shared inside the link subsystem and with the subsystems built on it.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "lep3.h"
#include "link/fd.h"

namespace lep3::link {

// ---------------------------------------------------------------------------------------
// Wire and frame sizes.

inline constexpr uint8_t kSync0 = 0xAA;
inline constexpr uint8_t kSync1 = 0x55;
inline constexpr uint8_t kFrameLength = 0xFF; // length byte that announces a frame packet
inline constexpr uint8_t kFrameTag = 0x04;    // first byte after it
inline constexpr uint8_t kModeRaw = 0x00;     // frame packet mode bytes, also the video requests'
inline constexpr uint8_t kModeRgb = 0xFF;
inline constexpr uint8_t kDiagRgbLength = 0xF6; // the diagnostic parser's RGB frame length byte

inline constexpr int kFrameWidth = 160;
inline constexpr int kFrameHeight = 120;
inline constexpr int kPixels = kFrameWidth * kFrameHeight; // 19 200
inline constexpr int kVideoPackets = 240;                  // two per image row
inline constexpr int kPixelsPerVideoPacket = kPixels / kVideoPackets;
inline constexpr int kVideoPacketHead = 4;                    // discarded
inline constexpr int kRawPayload = kPixelsPerVideoPacket * 2; // 160 bytes, high byte first
inline constexpr int kRgbPayload = kPixelsPerVideoPacket * 3; // 240 bytes
inline constexpr int kRawVideoPacket = kVideoPacketHead + kRawPayload;
inline constexpr int kRgbVideoPacket = kVideoPacketHead + kRgbPayload;
inline constexpr int kRawPacketData = kVideoPackets * kRawVideoPacket; // 39 360
inline constexpr int kRgbPacketData = kVideoPackets * kRgbVideoPacket; // 58 560
inline constexpr uint32_t kRawFrameBytes = kPixels * 2;                // 38 400
inline constexpr uint32_t kRgbFrameBytes = kPixels * 3;                // 57 600
inline constexpr uint32_t kGray8FrameBytes = kPixels;                  // 19 200

inline constexpr uint32_t kFormatRaw = 0;
inline constexpr uint32_t kFormatRgb = 1;

// Reply packets: L counts command ID (2), type (1) and the data bytes.
inline constexpr int kReplyHeadBytes = 3;
inline constexpr int kReplyDataMax = static_cast<int>(sizeof(command_read_t::data)); // 48
inline constexpr uint8_t kTypeMax = 2;                                               // 0 get, 1 set, 2 run
inline constexpr uint16_t kResetNoticeId = 0x0404; // sent unasked after a camera-core reset

inline constexpr int32_t kReplyCleared = 0;
inline constexpr int32_t kReplyAwaited = 1;
inline constexpr int32_t kReplyPosted = 2;

inline constexpr int32_t kUartQueueBytes = 100000;
inline constexpr int kReadChunk = 1024;
inline constexpr int kFrameSlots = 4;
inline constexpr useconds_t kQueuePollUs = 1; // the prescribed poll of every queue wait
// A read that brings no byte (an unplugged bridge reads end-of-file for ever) or fails is
// followed by this pause, so the reader doesn't spin on a dead port.
inline constexpr useconds_t kEmptyReadPauseUs = 1000;

inline constexpr int kBaud = 115200;
inline constexpr int kDataBits = 8;
inline constexpr int kStopBits = 1;

// ---------------------------------------------------------------------------------------
// Descriptors.

// Fd (link/fd.h) owns one descriptor.

// The port to the bridge that the library holds. uart_fd shows hosts its number, but only
// this record says whether the library still owns it: uart_fd is 0 before the first
// LEP3_Init and keeps its number after the port is closed, when that number may already
// belong to a file the host opened since. Nothing is closed or written through uart_fd
// unless the record says the library holds it.
// Records fd as the library's port and publishes it in uart_fd.
void hold_port(int fd);
// Closes the port the library holds, if any, and forgets it; uart_fd keeps its value.
void release_port();
// Writes bytes to the port the library holds, with the port kept from being closed (and
// its number from being reused) until the write returns. -1 without writing when the
// library holds no port: after LEP3_Destroy, a firmware update or an unplug, uart_fd may
// by then name a file of the host's.
ssize_t write_port(std::span<const uint8_t> bytes);

// The managed session marks the bridge gone from the moment it sees the device vanish
// until it has the link up again; commands then end with -6 instead of waiting out their
// reply time (link/transaction.cpp).
void set_bridge_gone(bool gone);
bool bridge_gone();

// While a managed session is open, the library's own opens of the bridge's devices
// (LEP3_Init's and the firmware update's, all through open_uart) add O_NOCTTY, so that the
// port never becomes the host's controlling terminal and an unplug sends it no SIGHUP.
void set_session_opens(bool session);

// ---------------------------------------------------------------------------------------
// Packet parser. The numeric values are those hosts see in parser_state.

enum class ParserState : int32_t {
    hunt = 0,
    sync = 1,
    length = 2,
    frame_tag = 3,
    mode = 4,
    raw_data = 5,
    rgb_data = 6,
    command_id = 9,
    type = 10,
    data = 11,
};

// Applies the state table to one byte. No reset check, no queue: callable from tests
// and fuzz targets on any byte stream.
void parse_byte(uint8_t b);
// Applies the state table to a chunk, frame data in runs, each byte or run followed by the
// reset check: what the parser loop does for the same bytes (the session's parser).
void parse_bytes(std::span<const uint8_t> bytes);
// Bytes the frame packet being received still lacks; 0 outside frame data. Until that
// many have arrived, parsing what has can complete nothing.
int32_t frame_bytes_missing();
// The diagnostic parser's variant of the table (the capture loop's consumer).
void parse_byte_diagnostic(uint8_t b);
// Steps of the state table that the diagnostic parser shares with the real one. Each
// takes the byte in its state and sets the next state.
namespace steps {
void hunt(uint8_t b);
void sync(uint8_t b);
void frame_tag(uint8_t b);
// Length byte of a reply packet (anything but a frame length); clear_record says whether
// the reply record is cleared as the reply starts.
void reply_length(uint8_t b, bool clear_record);
void command_id(uint8_t b);
void type(uint8_t b);
// Stores one data byte of a reply; true when the reply is complete (data_len and
// command_buffer_index are then set, parser_state is 0, nothing posted yet).
bool reply_data(uint8_t b);
// A frame packet's mode byte was accepted: data follows, stored from the start.
void frame_header(ParserState next);
// Stores one byte of frame packet data; true when `total` bytes are there.
bool frame_data(uint8_t b, int total);
// Strips the video packet heads of a complete raw frame packet into tmp_image_buffer,
// builds lepton_image and counts the frame in frame_desc (first steps of completion).
void assemble_raw_frame();
} // namespace steps

// Check bytes and skipped bodies: parser state that the exported variables don't show.
// The parser runs the packet CRC-8 over every byte from a packet's first sync byte; after
// a frame or reply is complete the next byte is its check byte, compared with the CRC and
// counted (a mismatch refuses nothing), before the state table takes it as usual. A reply
// too long for the record has its declared body skipped before the hunt goes on.
namespace steps {
// Takes the byte ahead of the table. True when it was part of a skipped body and is done
// with; otherwise the CRC has moved on and a pending check byte has been compared.
bool before_table(uint8_t b);
// The packet just completed is a frame (its check result goes to the frame queue) or a
// reply; its check byte comes next.
void expect_frame_check();
void expect_reply_check();
} // namespace steps

// Back to hunting, with nothing pending: the parser variables a stream leaves behind
// (state, indices, a pending check byte or skip) are reset, as for a new link.
void reset_parser();

// Starts the re-initialisation thread if g_lepton_reset_flag is 1 (and clears it).
void reset_check();
// The flag's test alone, for the parser's pass to make inline after every byte.
inline bool reset_requested()
{
    return std::atomic_ref<int32_t>(g_lepton_reset_flag).load(std::memory_order_relaxed) == 1;
}
// Routine the reset check starts (LEP3_Daemon_Thr unless a test puts its own in place).
using ThreadRoutine = void *(*)(void *);
void set_reinit_routine(ThreadRoutine routine);

// Reads once from uart_fd and queues what it got; returns the result of read. A full
// queue is waited out (one message and one count per episode of fullness); a read that
// fails or brings nothing is counted and followed by a pause of kEmptyReadPauseUs.
ssize_t read_into_queue();
// One pass of each loop: the reader reads once from uart_fd and queues what it got
// (link_threads.cpp); the parser waits for a byte, then takes every byte uart_queue holds,
// one at a time, each parsed and followed by the reset check (packet_parser.cpp, beside the
// table it runs the bytes through).
void read_pass();
void parse_pass();

// Each LEP3_Read_Thr counts itself in while it runs and out when cancellation unwinds it.
// Whoever cancels the reader to take the port away (the firmware update) waits for the
// count to fall before closing the descriptor, so no read can still be using it. Returns
// false when readers are still running after the limit.
bool wait_for_readers_gone(std::chrono::milliseconds limit);
// What every reader loop does first, the session's too: counts the calling thread in
// until it exits.
void count_reader_in();
// What every loop thread does first: readies it for being cancelled (a sanitizer build
// clears the stack cancellation leaves behind).
void prepare_for_cancellation();

// ---------------------------------------------------------------------------------------
// Length of a queue wait's poll (link/poll_pause.cpp).

// The loops' own threads sleep `loops` between two looks at an empty (or, for the reader,
// full) queue; a host thread waiting in frame_dequeue sleeps `frame_wait` while it waits
// and polls as prescribed again afterwards. Anything at or below kQueuePollUs means the
// prescribed 1 us.
struct PollPause {
    std::chrono::microseconds loops;
    std::chrono::microseconds frame_wait;
};
// 0.5 ms each bounds a waiting thread near 1 700 wake-ups a second and keeps a frame's
// delay from its last byte to the host near 0.6 ms, 1.2 ms at most when nothing else
// needs the CPU (bench/link_bench.cpp measures the settings side by side).
inline constexpr PollPause kPollPause{std::chrono::microseconds(500), std::chrono::microseconds(500)};
// For the benchmark that compares settings; a loop started afterwards and every frame
// wait begun afterwards use them.
void set_poll_pause(PollPause pause);
// The calling thread (a loop's own, until it is cancelled) polls with the loops' pause.
void use_loop_pause();
// The calling thread's poll, for usleep.
useconds_t poll_pause();
// For the life of the object the calling thread polls with the frame wait's pause; its own
// comes back when the object ends (also when cancellation unwinds the wait).
class FrameWaitPause {
  public:
    FrameWaitPause();
    ~FrameWaitPause();
    FrameWaitPause(const FrameWaitPause &) = delete;
    FrameWaitPause &operator=(const FrameWaitPause &) = delete;

  private:
    useconds_t previous_us_;
};

// ---------------------------------------------------------------------------------------
// Hand-offs between threads.

// The state word of command_read is the hand-off between the parser and the transaction
// in flight: the parser publishes 2 with release ordering after every other field of
// the record is written; the waiting side reads it with acquire ordering.
void publish_reply_state(int32_t state);
int32_t load_reply_state();

// The other fields of command_read are written by the parser while a reply comes in and
// by a transaction when it primes the record, and a reply packet (a camera-reset notice,
// a late reply) may start while a transaction primes or copies. Both sides go through
// these relaxed accessors so that overlap is well defined; the ordering between them
// comes from the state word alone.
template <typename T> inline void store_reply_field(T &field, T value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}
template <typename T> inline T load_reply_field(T &field)
{
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}
// Zeroes every field but state.
void clear_reply_fields();
// A copy of the whole record, field by field.
command_read_t snapshot_reply();

// enqueue_multi behind its exported name: the reader calls it without the exported call's
// indirection. (The parser's side, take_byte, is inline in link/byte_queue.h.)
void put_bytes(cir_queue_t &queue, const uint8_t *src, int32_t len);

// Byte count of a ring queue: changed under the queue's lock, read without it by the
// full and empty tests. (std::atomic_ref wants a mutable object; the load writes nothing.)
inline int32_t queue_count(const cir_queue_t &queue)
{
    return std::atomic_ref<int32_t>(const_cast<int32_t &>(queue.count)).load(std::memory_order_acquire);
}

// ---------------------------------------------------------------------------------------
// Link statistics: relaxed counters bumped by the reader, the parser, the frame queue and
// the command transactions.

struct LinkCounters {
    std::atomic<uint64_t> bytes_read{0};
    std::atomic<uint64_t> bytes_dropped{0};
    std::atomic<uint64_t> frames_raw{0};
    std::atomic<uint64_t> frames_rgb{0};
    std::atomic<uint64_t> frames_overwritten{0};
    std::atomic<uint64_t> replies_posted{0};
    std::atomic<uint64_t> replies_abandoned{0};
    std::atomic<uint64_t> reset_notices{0};
    std::atomic<uint64_t> read_failures{0};
    std::atomic<uint64_t> empty_reads{0};
    std::atomic<uint64_t> queue_full_episodes{0};
    std::atomic<uint64_t> frame_check_errors{0};
    std::atomic<uint64_t> reply_check_errors{0};
    std::atomic<uint64_t> reconnects{0}; // bumped by the session
    std::atomic<uint64_t> command_timeouts{0};
};
extern LinkCounters link_counters;

inline void bump(std::atomic<uint64_t> &counter, uint64_t n = 1)
{
    counter.fetch_add(n, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------
// Frame facts the exported records have no room for, kept per slot for the session.

// The byte after a frame packet's data is its check byte: the parser reports whether it
// matched, for the frame it has just queued.
void note_frame_check(bool matched);

enum class FrameCheck : int32_t { pending = -1, mismatched = 0, matched = 1 };
struct FrameFacts {
    uint64_t completed_ns = 0; // CLOCK_MONOTONIC when the frame was queued
    FrameCheck check = FrameCheck::pending;
};
// Copies the newest frame not yet delivered (the one LEP3_GetFrameFromQueue would give)
// without waiting. Returns 1 when copied, 0 when there is none (or the queue is released),
// -3 when it doesn't fit `buffer` (nothing copied, nothing marked delivered).
int take_newest_frame(std::span<uint8_t> buffer, frame_desc_t &desc, FrameFacts &facts);
// Facts of the newest frame not yet delivered, without taking it; false when there is none.
bool peek_newest_frame(FrameFacts &facts);
// Frame events so far: frames queued, check bytes noted, wake_frame_waiters calls.
uint64_t frame_events();
// Sleeps until there have been more events than `seen` (taken from frame_events before
// looking at the queue, so none is missed) or until the deadline; time_point::max() is
// no deadline.
void wait_for_frame_event(uint64_t seen, std::chrono::steady_clock::time_point deadline);
// Wakes every waiter of wait_for_frame_event (a change of the link's state).
void wake_frame_waiters();

// ---------------------------------------------------------------------------------------
// Video requests.

// The mode byte of the last video request written whole (kModeRaw or kModeRgb), or -1
// when none was since the last forget_video_request. A re-opened link asks for it again.
int32_t last_video_request();
void forget_video_request();

// ---------------------------------------------------------------------------------------
// Diagnostic capture loops.

// The diagnostic capture loops run this many passes (10 000 000 unless a test says less).
void set_diagnostic_passes(uint32_t passes);

} // namespace lep3::link

// Command transactions: one request, one wait of up to 7000 1 ms polls, one check.
// Transactions are serialised by one lock held from priming the reply record to the end
// of the check. On any result other than 0 the reply buffer is left untouched.
int LEP3_RunCommand(uint16_t command_id, command_read_t *reply);
int LEP3_GetCommand(uint16_t command_id, uint8_t word_count, command_read_t *reply);
int LEP3_SetCommand(uint16_t command_id, const void *payload, uint32_t payload_size, command_read_t *reply);
