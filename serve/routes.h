// The viewer's HTTP interface, for the page and for scripts alike:
//   GET  /, /view.js, /view.css       the page
//   GET  /api/stream?palette=&range=  server-sent events: frames and status
//   GET  /frame.png?palette=&range=   the newest colour picture          (token)
//   GET  /raw.png                     the newest 16-bit raw picture      (token)
//   GET  /palette.png?palette=        a palette's 256 colours
//   GET  /api/palettes                the palettes' names
//   GET  /api/status                  frame, frames a second, link state, counters
//   GET  /api/temperature?x=&y=[&frame=]   one pixel's temperature
//   POST /api/ffc[?rad=1]             flat-field correction             (token)
//   GET  /api/settings                every value `lep3 get` reads
//   POST /api/settings/NAME           body: the value, as `lep3 set` takes it (token)
// (token): when the viewer is bound off loopback, these need its access token.
#pragma once

#include <httplib.h>

#include <string>

#include "serve/camera_feed.h"
#include "serve/frame_hub.h"
#include "serve/picture.h"

namespace lep3tool::serve {

struct ViewContext {
    FrameHub &hub;
    const CameraFeed &feed;
    PictureMaker &pictures;
    std::string token; // empty: no token needed
};

// Installs the handlers, the token check, and the error replies on server. The
// context must outlive the server.
void add_routes(httplib::Server &server, ViewContext &context);

} // namespace lep3tool::serve
