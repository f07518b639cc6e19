// /metrics in a service built without prometheus-cpp.
#include "serve/metrics.h"
#include "serve/view_json.h"

namespace lep3tool::serve {

HttpResponse metrics_answer(const ViewContext &)
{
    constexpr int kNotImplemented = 501;
    HttpResponse res;
    res.status = kNotImplemented;
    res.content_type = "application/json";
    res.set_header("Cache-Control", "no-store");
    res.body = json_text(
        {{"error", "this lep3 was built without Prometheus metrics: they need prometheus-cpp-dev at build time"}});
    return res;
}

} // namespace lep3tool::serve
