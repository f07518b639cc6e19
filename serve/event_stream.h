// The push channel of the page: server-sent events on one long response. Each follower
// waits on the hub for a frame newer than the last it sent and sends that one, so a
// browser that reads slowly gets fewer frames, never old ones; a status event follows
// every change of the link and at least once a second.
#pragma once

#include <httplib.h>

#include "serve/camera_feed.h"
#include "serve/frame_hub.h"
#include "serve/picture.h"

namespace lep3tool::serve {

// Starts the event stream of GET /api/stream on res for the picture style; the response
// ends when the browser leaves or the hub closes.
void start_event_stream(httplib::Response &res, const PictureStyle &style, FrameHub &hub, const CameraFeed &feed,
                        PictureMaker &pictures);

} // namespace lep3tool::serve
