// Hands the newest frame to every browser that follows the picture. There is no queue:
// a follower asks for a frame newer than the one it has and gets the newest, so a slow
// browser skips frames instead of falling behind, and the camera never waits for one.
// A short history answers questions about the frame a page is showing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "serve/view_frame.h"

namespace lep3tool::serve {

class FrameHub {
  public:
    // Frames kept for questions about a frame a page shows: about two seconds of video.
    static constexpr size_t kHistory = 16;

    // Numbers the frame (its seq) and makes it the newest.
    void publish(std::shared_ptr<ViewFrame> frame);
    // The newest frame, or null before the first.
    std::shared_ptr<const ViewFrame> newest() const;
    // The newest of the recent frames with this library frame number, or null.
    std::shared_ptr<const ViewFrame> find(uint32_t number) const;
    // A frame newer than seq (0: any), waiting at most timeout; null when none came in
    // time or the hub is closed.
    std::shared_ptr<const ViewFrame> wait_newer(uint64_t seq, std::chrono::milliseconds timeout) const;

    // Wakes every waiter for good; the server is shutting down.
    void close();
    bool closed() const;

    // Browsers that follow the picture now, for the status line.
    class Follower {
      public:
        explicit Follower(FrameHub &hub);
        ~Follower();
        Follower(const Follower &) = delete;
        Follower &operator=(const Follower &) = delete;

      private:
        FrameHub &hub_;
    };
    unsigned followers() const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::deque<std::shared_ptr<const ViewFrame>> recent_; // newest last
    uint64_t seq_ = 0;
    unsigned followers_ = 0;
    bool closed_ = false;
};

} // namespace lep3tool::serve
