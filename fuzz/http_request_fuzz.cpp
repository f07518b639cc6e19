// Requests as any client may write them, through the viewer's routes and the parsers of
// their parameters and bodies: a request line, header lines up to an empty line, and the
// rest as the body, capped as the server caps it. The first byte says whether the viewer
// has a token (bound off loopback). Every answer must be well formed, and a refusal short
// however long the value it refuses.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "serve/http_exchange.h"
#include "serve/routes.h"
#include "serve/view_server.h"

namespace {

using namespace lep3tool::serve;

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

class FixedFeed : public FeedInfo {
  public:
    FeedStatus status() const override
    {
        FeedStatus s;
        s.link = LEP3_LINK_UP;
        s.fps = 8.7;
        s.frame = 7;
        s.frames = 1;
        s.temperatures = true;
        return s;
    }
    lep3tool::Provenance provenance() const override { return {}; }
};

// One frame with temperatures, as the camera feed would publish it.
struct World {
    FrameHub hub;
    FixedFeed feed;
    PictureMaker pictures;
    ClientSlots followers{2, 4};
    ThermoSetup thermo{MeasureSetup{}, {}, 0.5};

    World()
    {
        auto frame = std::make_shared<ViewFrame>();
        frame->number = 7;
        for (size_t i = 0; i < frame->raw.size(); ++i)
            frame->raw[i] = static_cast<uint16_t>(7000 + i % 2000);
        frame->rbfo = lep3_rbfo_t{878900, 1428, 1, 1000}; // the emulated camera's
        measure_frame(*frame);
        hub.publish(std::move(frame));
    }
};

std::string_view next_line(std::string_view &in)
{
    const size_t end = in.find('\n');
    std::string_view line = in.substr(0, end);
    in = end == std::string_view::npos ? std::string_view() : in.substr(end + 1);
    if (line.ends_with('\r'))
        line.remove_suffix(1);
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static World world;
    if (size == 0)
        return 0;
    const bool with_token = (data[0] & 1) != 0;
    std::string_view in(reinterpret_cast<const char *>(data) + 1, size - 1);

    HttpRequest req;
    const std::string_view line = next_line(in);
    const size_t space = line.find(' ');
    req.method = std::string(line.substr(0, space));
    parse_target(space == std::string_view::npos ? std::string_view() : line.substr(space + 1), req);
    for (std::string_view header = next_line(in); !header.empty(); header = next_line(in)) {
        const size_t colon = header.find(':');
        std::string_view value = colon == std::string_view::npos ? std::string_view() : header.substr(colon + 1);
        while (value.starts_with(' '))
            value.remove_prefix(1);
        req.headers.emplace_back(std::string(header.substr(0, colon)), std::string(value));
    }
    req.body = std::string(in.substr(0, kMaxBody));
    add_form_fields(req);
    req.client = "127.0.0.2";

    ViewContext context{world.hub,       world.feed,   world.pictures,
                        world.followers, world.thermo, with_token ? "0123456789abcdef0123456789abcdef" : ""};
    HttpResponse res = answer(req, context);
    check(res.status >= 200 && res.status < 600, "status");
    if (res.content_type == "application/json") {
        check(nlohmann::json::accept(res.body), "JSON answer");
        check(res.status < 400 || res.body.size() < 512, "short refusal");
    }
    if (res.stream) {
        // The first piece comes at once: the retry time and a status event.
        std::string chunk;
        check(res.stream(chunk) && chunk.starts_with("retry: "), "event stream's start");
    }
    return 0;
}
