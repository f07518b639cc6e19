// Frames for the tool's loops. The library's frame read waits without limit for a new
// frame, which would leave Ctrl-C unanswered on a silent bridge; one thread of the pump
// does that waiting and keeps the newest frame, and the tool's loop waits on the pump in
// short slices, looking at the stop flag between them.
#pragma once

#include <pthread.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace lep3tool {

inline constexpr uint32_t kFrameWidth = 160;
inline constexpr uint32_t kFrameHeight = 120;
inline constexpr uint32_t kFramePixels = kFrameWidth * kFrameHeight;
inline constexpr uint32_t kRgbFrameBytes = kFramePixels * 3;
inline constexpr uint32_t kFormatRaw = 0;
inline constexpr uint32_t kFormatRgb = 1;

struct Frame {
    // Big enough for either form; a raw frame fills the first 38 400 bytes.
    alignas(uint16_t) std::array<uint8_t, kRgbFrameBytes> bytes{};
    uint32_t format = 0;
    uint32_t size = 0;
    uint32_t number = 0;
    std::chrono::system_clock::time_point taken;

    const uint16_t *raw() const { return reinterpret_cast<const uint16_t *>(bytes.data()); }
};

class FramePump {
  public:
    enum class Wait { frame, stopped, timed_out };

    // Starts taking frames at once. Only one pump may exist: the library hands frames to
    // one taker.
    FramePump();
    ~FramePump();
    FramePump(const FramePump &) = delete;
    FramePump &operator=(const FramePump &) = delete;

    // Copies the newest frame not yet returned into out. Waits at most timeout for it,
    // and returns early when a stop signal arrives.
    Wait next(Frame &out, std::chrono::milliseconds timeout);

    // Frames the pump received, and frame numbers it never saw (gaps in the numbering:
    // frames the library overwrote before they were taken).
    uint64_t received() const;
    uint64_t missed() const;

  private:
    static void *run(void *self);
    void take_frames();

    std::unique_ptr<Frame> incoming_; // the thread's own buffer, outside its stack
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    Frame latest_;
    uint32_t returned_number_ = 0;
    uint64_t received_ = 0;
    uint64_t missed_ = 0;
    pthread_t thread_{};
};

} // namespace lep3tool
