#include "sim/replay.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "recording/reader.h"

namespace lep3::sim {

namespace {

using recording::kPixels;

// A recording of one frame has no interval of its own: the camera core's.
constexpr std::chrono::nanoseconds kCameraPeriod{114942529}; // 8.7 frames a second

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
        if (tally.frames > 1)
            wrap_ = std::chrono::nanoseconds(static_cast<int64_t>(tally.seconds() * 1e9 / (tally.frames - 1)));
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
        interval_ = wrapped ? wrap_
                            : std::max(std::chrono::nanoseconds(0),
                                       std::chrono::nanoseconds(std::chrono::microseconds(ahead_.info.host_time_us -
                                                                                          current_.info.host_time_us)));
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
