#include "serve/event_stream.h"

#include <chrono>
#include <exception>
#include <memory>
#include <string>

#include "serve/view_json.h"

namespace lep3tool::serve {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kStatusInterval{1000};
// How soon a browser that lost the stream tries again.
constexpr const char *kRetry = "retry: 1000\n\n";

class EventStream {
  public:
    EventStream(const PictureStyle &style, FrameHub &hub, const FeedInfo &feed, PictureMaker &pictures,
                ClientSlots::Slot slot)
        : style_(style), hub_(hub), feed_(feed), pictures_(pictures), follower_(hub), slot_(std::move(slot))
    {
    }

    // One turn of the response: waits for a frame (or the status interval) and gives
    // what there is to send. False ends the response.
    bool step(std::string &sink)
    {
        if (ended_)
            return false;
        // An exception must not leave the server's writing loop.
        try {
            return send_next(sink);
        } catch (const std::exception &e) {
            send(sink, "problem", nlohmann::json{{"error", e.what()}});
            ended_ = true;
            return true;
        }
    }

  private:
    bool send_next(std::string &sink)
    {
        if (!started_) {
            started_ = true;
            sink += kRetry;
            return send_status(sink);
        }
        const auto frame = hub_.wait_newer(seq_, kStatusInterval);
        if (hub_.closed())
            return false;
        if (frame) {
            seq_ = frame->seq;
            const auto picture = pictures_.make(*frame, style_);
            if (!send(sink, "frame", frame_json(*frame, *picture, style_.range)))
                return false;
            // Held: the first picture's raw range, for all that follow.
            if (style_.range.mode == FrameRange::Mode::held)
                style_.range = FrameRange{FrameRange::Mode::raw, static_cast<double>(picture->raw_lo),
                                          static_cast<double>(picture->raw_hi)};
        }
        const FeedStatus status = feed_.status();
        if (Clock::now() - last_status_ >= kStatusInterval || status.link != last_link_)
            return send_status(sink, status);
        return true;
    }

    bool send_status(std::string &sink) { return send_status(sink, feed_.status()); }

    bool send_status(std::string &sink, const FeedStatus &status)
    {
        last_status_ = Clock::now();
        last_link_ = status.link;
        return send(sink, "status", status_json(status, hub_.followers()));
    }

    static bool send(std::string &sink, const char *event, const nlohmann::json &data)
    {
        // Compact JSON has no line breaks, so it is one data line.
        const std::string text = std::string("event: ") + event + "\ndata: " + json_text(data) + "\n\n";
        sink += text;
        return true;
    }

    PictureStyle style_;
    FrameHub &hub_;
    const FeedInfo &feed_;
    PictureMaker &pictures_;
    FrameHub::Follower follower_;
    ClientSlots::Slot slot_;
    bool ended_ = false;
    uint64_t seq_ = 0;
    bool started_ = false;
    Clock::time_point last_status_;
    int last_link_ = -1;
};

} // namespace

ChunkSource event_stream(const PictureStyle &style, FrameHub &hub, const FeedInfo &feed, PictureMaker &pictures,
                         ClientSlots::Slot slot)
{
    auto stream = std::make_shared<EventStream>(style, hub, feed, pictures, std::move(slot));
    return [stream](std::string &chunk) { return stream->step(chunk); };
}

} // namespace lep3tool::serve
