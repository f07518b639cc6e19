// The web viewer as one of the service's outputs: its HTTP server, the page and the API
// (routes.h) on the service's frames and camera feed.
#pragma once

#include <memory>
#include <string>

#include "serve/client_slots.h"
#include "serve/feed_info.h"
#include "serve/frame_hub.h"
#include "serve/output.h"
#include "serve/picture.h"
#include "serve/routes.h"
#include "serve/service_log.h"
#include "serve/view_server.h"

namespace lep3tool::serve {

class ViewerOutput : public Output {
  public:
    // Binds the address at once: a taken port is an error before the service starts.
    // An address off loopback gets an access token: the one given, or a new one.
    ViewerOutput(FrameHub &hub, const FeedInfo &feed, ThermoSetup &thermo, const std::string &address, int port,
                 const ServiceLog &log, const std::string &token = {});

    std::string_view name() const override { return "viewer"; }
    // Serves, and says where in the log.
    void start() override;
    void stop() override;
    bool running() const override { return server_.running(); }

  private:
    const ServiceLog &log_;
    const std::string address_;
    PictureMaker pictures_;
    ClientSlots followers_;
    ViewContext context_;
    ViewServer server_;
};

} // namespace lep3tool::serve
