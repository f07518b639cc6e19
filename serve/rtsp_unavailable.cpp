// RTSP in a lep3 built without gst-rtsp-server: --rtsp-port says what is missing.
#include "serve/rtsp_output.h"

#include <stdexcept>

namespace lep3tool::serve {

std::optional<RtspSettings> rtsp_settings(const ParsedArgs &args, const std::string &)
{
    if (args.has("rtsp-port") || args.has("rtsp-palette") || args.has("rtsp-range") || args.has("rtsp-isotherm"))
        throw UsageError("this lep3 was built without RTSP: install libgstrtspserver-1.0-dev, and build it again");
    return std::nullopt;
}

std::unique_ptr<Output> make_rtsp_output(FrameHub &, const RtspSettings &, const ServiceLog &)
{
    throw std::logic_error("no RTSP in this lep3");
}

} // namespace lep3tool::serve
