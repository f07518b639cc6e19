// GET /metrics: the camera's and the service's figures in Prometheus's text format, for a
// Prometheus that scrapes every camera of a plant. Counters of the link (bytes, frames,
// frames dropped or failing their check byte, reconnects, command time-outs), the link's
// state, the newest frame's temperatures and each region's, the alarms, and the process's
// own figures. Read at the moment of the scrape; nothing is kept between scrapes.
//
// Serialized by prometheus-cpp's text serializer; a service built without it answers 501
// and says what is missing.
#pragma once

#include "serve/http_exchange.h"
#include "serve/routes.h"

namespace lep3tool::serve {

HttpResponse metrics_answer(const ViewContext &context);

} // namespace lep3tool::serve
