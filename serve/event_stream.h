// The push channel of the page: server-sent events on one long response. Each follower
// waits on the hub for a frame newer than the last it sent and sends that one, so a
// browser that reads slowly gets fewer frames, never old ones; a status event follows
// every change of the link and at least once a second.
#pragma once

#include "serve/client_slots.h"
#include "serve/feed_info.h"
#include "serve/frame_hub.h"
#include "serve/http_exchange.h"
#include "serve/picture.h"

namespace lep3tool::serve {

// The events of GET /api/stream for the picture style, piece by piece; the stream ends
// when the hub closes. The follower's slot is held for as long as the stream lasts.
ChunkSource event_stream(const PictureStyle &style, FrameHub &hub, const FeedInfo &feed, PictureMaker &pictures,
                         ClientSlots::Slot slot);

} // namespace lep3tool::serve
