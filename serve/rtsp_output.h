// RTSP as one of the service's outputs: rtsp://HOST:PORT/lep3 carries the coloured picture
// in H.264 for video recorders and players, and /lep3/raw every frame's raw values for
// clients that record the measurements themselves. Each client gets a pipeline of its own,
// made when it asks for the path and ended when it leaves; its source takes the frames a
// thread of this output follows on the hub and converts once for all. That thread queues
// at most a couple of frames for a pipeline and drops those beyond (counted), so a stalled
// client or encoder never reaches the camera, another output or another client.
//
// The camera is the service's: the library's session is one per process and the feed is
// its one taker of frames, so the pipelines start from the hub's frames, not from a source
// that would open the camera again. They are coloured as the viewer colours them, by the
// library's conversion and palettes, the same that the GStreamer element uses.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "hostkit/args.h"
#include "serve/frame_hub.h"
#include "serve/output.h"
#include "serve/picture.h"
#include "serve/service_log.h"

namespace lep3tool::serve {

struct RtspSettings {
    std::string address; // the viewer's: a token off loopback, as there
    int port = 0;        // 0: any free port
    PictureStyle style;  // of the coloured picture
};

// The settings from --rtsp-port and its companions, or nothing without --rtsp-port. Throws
// UsageError, also when this lep3 was built without RTSP.
std::optional<RtspSettings> rtsp_settings(const ParsedArgs &args, const std::string &address);

// Binds the address at once: a taken port is an error before the service starts. Throws
// std::runtime_error when GStreamer or one of the elements it needs is missing.
std::unique_ptr<Output> make_rtsp_output(FrameHub &hub, const RtspSettings &settings, const ServiceLog &log);

} // namespace lep3tool::serve
