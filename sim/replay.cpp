#include "sim/replay.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "recording/reader.h"

namespace lep3::sim {

namespace {

using recording::kPixels;

// A recording of one frame has no interval of its own: the camera core's.
constexpr std::chrono::nanoseconds kCameraPeriod{114942529}; // 8.7 frames a second
// The longest pause between two frames: a recording that stopped for the night (or a page
// dated far from its neighbour) goes on after this, not after the recorded time.
constexpr std::chrono::microseconds kLongestInterval = std::chrono::seconds(10);

// The recorded time from one frame to the next, saturating rather than overflowing
// however far apart the dates are.
int64_t recorded_us(int64_t from_us, int64_t to_us)
{
    int64_t us = 0;
    if (__builtin_sub_overflow(to_us, from_us, &us))
        us = to_us > from_us ? INT64_MAX : INT64_MIN;
    return us;
}

struct Page {
    recording::PageInfo info;
    std::array<uint16_t, kPixels> raw{};
    bool ok = false;
};

class RecordingReplay final : public Replay {
  public:
    RecordingReplay(const std::string &path, bool loop) : reader_(path), loop_(loop)
    {
        if (reader_.file().values != recording::Values::raw)
            throw std::runtime_error(path + " holds temperatures, not the camera's raw values: replay the raw "
                                            "recording it was made with");
        const auto &tally = reader_.survey().tally;
        if (tally.frames > 1) {
            const double mean_us = std::clamp(tally.seconds() * 1e6 / static_cast<double>(tally.frames - 1), 0.0,
                                              static_cast<double>(kLongestInterval.count()));
            wrap_ = std::chrono::microseconds(static_cast<int64_t>(mean_us));
        }
        read_ahead();
        if (!ahead_.ok)
            throw std::runtime_error(error_);
    }

    const recording::FileInfo &file() const override { return reader_.file(); }
    uint64_t frames() const override { return reader_.pages(); }
    const recording::PageInfo &page() const override { return current_.info; }
    std::chrono::nanoseconds interval() const override { return interval_; }
    const std::string &error() const override { return error_; }

    bool next(uint16_t *raw) override
    {
        if (!ahead_.ok)
            return false;
        std::swap(current_, ahead_);
        std::copy(current_.raw.begin(), current_.raw.end(), raw);
        const bool wrapped = read_ahead();
        // The recorded host times are wall-clock times: a clock set back while recording
        // gives no negative pause.
        const int64_t us = recorded_us(current_.info.host_time_us, ahead_.info.host_time_us);
        interval_ = wrapped ? wrap_ : std::chrono::microseconds(std::clamp<int64_t>(us, 0, kLongestInterval.count()));
        if (!wrapped && ahead_.ok && us > kLongestInterval.count())
            (void)std::fprintf(stderr,
                               "bridge emulator: the recording's frame %" PRIu32 " was taken more than 10 s after "
                               "frame %" PRIu32 "; the replay waits 10 s\n",
                               ahead_.info.frame_number, current_.info.frame_number);
        return true;
    }

  private:
    // Reads the page after the current one into ahead_; true when it went round the loop.
    bool read_ahead()
    {
        ahead_.ok = false;
        try {
            const std::span<std::byte> bytes(reinterpret_cast<std::byte *>(ahead_.raw.data()), sizeof ahead_.raw);
            if (reader_.next(ahead_.info, bytes)) {
                ahead_.ok = true;
                return false;
            }
            if (!loop_)
                return false;
            reader_.rewind();
            ahead_.ok = reader_.next(ahead_.info, bytes);
            return true;
        } catch (const recording::ReadError &e) {
            error_ = e.what();
            return false;
        }
    }

    recording::RecordingReader reader_;
    bool loop_;
    std::chrono::nanoseconds wrap_ = kCameraPeriod;
    Page current_, ahead_;
    std::chrono::nanoseconds interval_{0};
    std::string error_;
};

} // namespace

std::unique_ptr<Replay> open_replay(const std::string &path, bool loop)
{
    try {
        return std::make_unique<RecordingReplay>(path, loop);
    } catch (const recording::ReadError &e) {
        throw std::runtime_error(e.what());
    }
}

} // namespace lep3::sim
