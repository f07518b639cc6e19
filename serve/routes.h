// The viewer's HTTP interface, for the page and for scripts alike:
//   GET  /, /view.js, /view.css       the page
//   GET  /api/stream?palette=&range=&isotherm=  server-sent events: frames and status
//   GET  /frame.png?palette=&range=&isotherm=   the newest colour picture (isotherm=LOW:HIGH)
//   GET  /raw.png                     the newest 16-bit raw picture
//   GET  /palette.png?palette=        a palette's 256 colours
//   GET  /api/palettes                the palettes' names
//   GET  /api/status                  frame, frames a second, link state, counters
//   GET  /api/temperature?x=&y=[&frame=]   one pixel's temperature
//   POST /api/ffc[?rad=1]             flat-field correction
//   GET  /api/settings                every value `lep3 get` reads
//   POST /api/settings/NAME           body: the value, as `lep3 set` takes it
//   GET  /api/regions                 the regions with their readings in the newest frame
//   POST /api/regions                 body: {"name", "kind": spot|box|line, "x0", "y0", "x1", "y1"}
//   DELETE /api/regions/NAME
//   GET  /api/object                  the object parameters in force
//   POST /api/object                  body: some of them, {"emissivity": 0.95, ...}
//   GET  /api/alarms                  the alarms and their state (also in /api/status)
//   POST /api/alarms                  body: a rule, as `lep3 watch --alarm` takes it
//   DELETE /api/alarms/ID
//   GET  /metrics                     the figures for Prometheus (metrics.h)
// When the viewer is bound off loopback, everything but the page's files needs its
// access token. Every answer forbids framing and allows the page only its own files.
#pragma once

#include <string>

#include "serve/client_slots.h"
#include "serve/feed_info.h"
#include "serve/frame_hub.h"
#include "serve/http_exchange.h"
#include "serve/picture.h"
#include "serve/thermo_setup.h"

namespace lep3tool::serve {

struct ViewContext {
    FrameHub &hub;
    const FeedInfo &feed;
    PictureMaker &pictures;
    ClientSlots &followers; // of the event stream
    ThermoSetup &thermo;
    std::string token; // empty: no token needed (bound to loopback)
};

// The answer to one request. Never throws: a mistake is a 4xx answer with its sentence.
HttpResponse answer(const HttpRequest &req, ViewContext &context);

// An answer with {"error": message} and the headers every answer carries.
HttpResponse error_answer(int status, const std::string &message);

} // namespace lep3tool::serve
