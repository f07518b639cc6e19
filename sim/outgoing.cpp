// The writer thread: the only one that writes to a device. It sends queued answers when
// they are due and the frames of the stream at their pace, in the ways the fault knobs
// ask for (garbage between packets, split writes, corrupted frames).
#include <algorithm>

#include "sim/bridge_sim_internal.h"

namespace lep3::sim {

namespace {

using namespace std::chrono_literals;

constexpr size_t kFrameChunk = 4096;  // frames go out in pieces of this size
constexpr int kSplitPieceMax = 97;    // split writes: pieces of 1 to this many bytes
constexpr int kSplitPausePieces = 16; // ... with a short pause after about one piece in this many
constexpr auto kSplitPause = 50us;
constexpr auto kByteByBytePause = 2ms; // a reply split across writes
constexpr int kGarbageMax = 12;
constexpr auto kIdleWake = 1s;

} // namespace

void BridgeSim::Impl::enqueue(Outgoing out, Clock::duration delay)
{
    out.due = Clock::now() + delay;
    out.order = next_order++;
    queue.push_back(std::move(out));
    wake.notify_all();
}

void BridgeSim::Impl::enqueue_action(Clock::duration delay, std::function<void()> action)
{
    Outgoing out;
    out.action = std::move(action);
    enqueue(std::move(out), delay);
}

void BridgeSim::Impl::send_and_wait(std::unique_lock<std::mutex> &lk, std::vector<uint8_t> bytes, bool packet)
{
    Outgoing out;
    out.generation = generation;
    out.bytes = std::move(bytes);
    out.packet = packet;
    out.done = std::make_shared<std::promise<void>>();
    auto written = out.done->get_future();
    enqueue(std::move(out));
    lk.unlock();
    written.wait_for(kSendWait);
}

void BridgeSim::Impl::write_garbage(const PtyDevice &dev, uint64_t gen)
{
    std::uniform_int_distribution<int> count(1, kGarbageMax), value(0, 0xFE);
    std::vector<uint8_t> junk(count(rng));
    for (auto &b : junk) {
        b = static_cast<uint8_t>(value(rng));
        if (b == kSync0) // never a sync byte, so no packet can start inside it
            b = 0xFF;
    }
    dev.write_all(junk, [&] { return keep_writing(gen); });
}

bool BridgeSim::Impl::write_packet(const PtyDevice &dev, uint64_t gen, std::span<const uint8_t> bytes, bool split,
                                   bool byte_by_byte, size_t chunk)
{
    auto go_on = [&] { return keep_writing(gen); };
    std::uniform_int_distribution<int> piece(1, kSplitPieceMax), pause(0, kSplitPausePieces - 1);
    while (!bytes.empty()) {
        size_t n = chunk;
        if (byte_by_byte)
            n = 1;
        else if (split)
            n = static_cast<size_t>(piece(rng));
        n = std::min(n, bytes.size());
        if (!dev.write_all(bytes.first(n), go_on))
            return false;
        bytes = bytes.subspan(n);
        if (byte_by_byte)
            std::this_thread::sleep_for(kByteByBytePause);
        else if (split && pause(rng) == 0)
            std::this_thread::sleep_for(kSplitPause);
    }
    return true;
}

void BridgeSim::Impl::writer_loop()
{
    std::vector<uint8_t> frame;
    for (;;) {
        std::unique_lock lk(mu);
        Outgoing job;
        bool have_job = false, do_frame = false;
        for (;;) {
            if (stopping)
                return;
            const auto now = Clock::now();
            auto wake_at = now + kIdleWake;
            auto first = std::min_element(queue.begin(), queue.end(), [](const Outgoing &a, const Outgoing &b) {
                return a.due != b.due ? a.due < b.due : a.order < b.order;
            });
            if (first != queue.end()) {
                if (first->due <= now) {
                    job = std::move(*first);
                    queue.erase(first);
                    have_job = true;
                    break;
                }
                wake_at = std::min(wake_at, first->due);
            }
            if (streaming && mode == Mode::app && !faults.silent) {
                if (next_frame <= now) {
                    do_frame = true;
                    break;
                }
                wake_at = std::min(wake_at, next_frame);
            }
            wake.wait_until(lk, wake_at);
        }
        const std::shared_ptr<PtyDevice> dev = device;
        const uint64_t gen = generation;
        const bool garbage = faults.garbage_between_packets, split = faults.split_writes;
        const uint32_t corrupt_every = faults.corrupt_frame_every;
        const uint8_t frame_mode = stream_mode;
        const Clock::time_point due = next_frame;
        if (do_frame) {
            const auto now = Clock::now();
            if (replay && !opts.replay_at_fps) {
                next_frame = now; // until the recording says when the next one is due
            } else if (opts.fps > 0) {
                const auto period =
                    std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / opts.fps));
                next_frame = std::max(next_frame + period, now);
            } else {
                next_frame = now;
            }
        }
        lk.unlock();

        if (have_job) {
            if (dev && !job.bytes.empty() && job.generation == gen) {
                if (garbage && job.packet)
                    write_garbage(*dev, gen);
                write_packet(*dev, gen, job.bytes, split, job.byte_by_byte, job.bytes.size());
            }
            if (job.action)
                job.action();
            if (job.done)
                job.done->set_value();
        } else if (do_frame && dev) {
            const auto seq = static_cast<uint32_t>(frames_sent + 1);
            if (!take_frame(seq, due))
                continue;
            build_frame_packet(frame_mode, seq, pixels.data(), frame);
            const bool corrupt = corrupt_every && seq % corrupt_every == 0;
            if (corrupt)
                corrupt_frame(frame, frame_mode);
            if (garbage)
                write_garbage(*dev, gen);
            if (write_packet(*dev, gen, frame, split, false, kFrameChunk)) {
                frames_sent.fetch_add(1);
                if (corrupt) {
                    std::lock_guard lk2(mu);
                    corrupted.push_back(seq);
                }
            }
        }
    }
}

void BridgeSim::Impl::corrupt_frame(std::vector<uint8_t> &frame, uint8_t frame_mode)
{
    const int payload = frame_mode == kModeRaw ? kRawPayload : kRgbPayload;
    std::uniform_int_distribution<int> packet(1, kVideoPackets - 1), offset(0, payload - 1), flip(1, 0xFF);
    const size_t at = kFramePacketHead + static_cast<size_t>(packet(rng)) * (kVideoPacketHead + payload) +
                      kVideoPacketHead + static_cast<size_t>(offset(rng));
    frame[at] ^= static_cast<uint8_t>(flip(rng));
}

void BridgeSim::send_raw(std::span<const uint8_t> bytes)
{
    std::unique_lock lk(impl_->mu);
    impl_->send_and_wait(lk, std::vector<uint8_t>(bytes.begin(), bytes.end()), false);
}

} // namespace lep3::sim
