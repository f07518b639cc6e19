// lep3 view over HTTP against the emulator: the pictures are the emulator's frames in the
// files `lep3 capture` writes, temperatures are the CSV's, controls reach the camera,
// mistakes get a 4xx with their sentence, the token may come in the address, the
// push stream skips to the newest frame, and a signal ends the viewer with its port free.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <string>
#include <vector>

#include "hostkit/text_format.h"
#include "lep3.h"
#include "serve/loopback_client.h"
#include "serve/view_fixture.h"
#include "sim/camera_core.h"

namespace {

using lep3::test::ViewTest;
using nlohmann::json;

constexpr int kPixels = lep3::sim::kPixels;

std::vector<uint16_t> sent_frame(const std::vector<uint16_t> &raw)
{
    std::vector<uint16_t> sent(kPixels);
    lep3::sim::BridgeSim::raw_frame(lep3::sim::BridgeSim::stamp_of_raw(raw.data()), sent.data());
    return sent;
}

std::vector<uint16_t> colours_of(const std::vector<uint16_t> &raw, uint32_t palette, uint32_t lo, uint32_t hi)
{
    std::vector<uint8_t> gray8(kPixels), rgb(size_t{kPixels} * 3);
    Gray14ToGray8WithUserSetPalette(raw.data(), gray8.data(), hi, lo);
    Gray8ToRGB24(gray8.data(), rgb.data(), palette);
    return {rgb.begin(), rgb.end()};
}

TEST_F(ViewTest, PicturesAreTheEmulatorsFramesInTheFilesCaptureWrites)
{
    start_viewer();
    ASSERT_TRUE(wait_for_frames());
    generate_pallette_iron_256(RGB24_pallette_iron_256);

    const auto raw = http().Get("/raw.png");
    ASSERT_TRUE(raw);
    ASSERT_EQ(raw->status, 200) << raw->body;
    EXPECT_EQ(raw->get_header_value("Content-Type"), "image/png");
    const auto raw_png = decode(raw->body);
    ASSERT_EQ(raw_png.bit_depth, 16);
    EXPECT_EQ(raw_png.samples, sent_frame(raw_png.samples));
    for (const char *key : {"Software", "Description", "Frame Number", "Creation Time", "FPA Temperature", "R", "B",
                            "F", "O", "Temperature"})
        EXPECT_EQ(raw_png.text.count(key), 1u) << key;
    EXPECT_EQ(raw_png.text.at("R"), std::to_string(lep3::sim::kRbfoR));

    // The colour picture of the same frame, in each kind of range; frames move on, so
    // the raw picture is fetched again until both show one frame.
    for (const std::string range : {"auto", "7000:9000", "20C:30C"}) {
        SCOPED_TRACE(range);
        lep3::test::DecodedPng colour, grey;
        for (int tries = 0; tries < 20; ++tries) {
            const auto c = http().Get(("/frame.png?palette=iron&range=" + range).c_str());
            const auto g = http().Get("/raw.png");
            ASSERT_TRUE(c && g);
            ASSERT_EQ(c->status, 200) << c->body;
            colour = decode(c->body);
            grey = decode(g->body);
            if (colour.text.at("Frame Number") == grey.text.at("Frame Number"))
                break;
        }
        ASSERT_EQ(colour.text.at("Frame Number"), grey.text.at("Frame Number"));
        EXPECT_EQ(colour.text.at("Palette"), "iron");
        // "LO:HI (how)", as capture records it.
        const auto used = lep3::test::search(colour.text.at("Raw Range"), "^([0-9]+):([0-9]+) \\((.*)\\)$");
        ASSERT_TRUE(used) << colour.text.at("Raw Range");
        const auto lo = static_cast<uint32_t>(std::stoul((*used)[1]));
        const auto hi = static_cast<uint32_t>(std::stoul((*used)[2]));
        EXPECT_EQ((*used)[3], range);
        EXPECT_EQ(colour.samples, colours_of(grey.samples, 8, lo, hi));
        if (range == "auto") {
            EXPECT_EQ(lo, *std::min_element(grey.samples.begin(), grey.samples.end()));
            EXPECT_EQ(hi, *std::max_element(grey.samples.begin(), grey.samples.end()));
        }
        if (range == "20C:30C") {
            // Each end is the first raw value whose temperature reaches it.
            std::vector<uint16_t> ends = {uint16_t(lo - 1), uint16_t(lo), uint16_t(hi - 1), uint16_t(hi)};
            ends.resize(kPixels, ends[1]);
            std::vector<float> k(kPixels);
            LEP3_LuxToKelvin(ends.data(), k.data(), lep3::sim::kRbfoR, lep3::sim::kRbfoO);
            LEP3_KelvinToCelsius(k.data());
            EXPECT_LT(k[0], 20);
            EXPECT_GE(k[1], 20);
            EXPECT_LT(k[2], 30);
            EXPECT_GE(k[3], 30);
        }
    }
}

TEST_F(ViewTest, TemperatureOfAPixelIsTheValueTheCsvHolds)
{
    start_viewer();
    ASSERT_TRUE(wait_for_frames());
    const auto raw = http().Get("/raw.png");
    ASSERT_TRUE(raw);
    const auto png = decode(raw->body);
    const std::string frame = png.text.at("Frame Number");
    std::vector<float> celsius(kPixels);
    LEP3_LuxToKelvin(png.samples.data(), celsius.data(), std::stoi(png.text.at("R")), std::stoi(png.text.at("O")));
    LEP3_KelvinToCelsius(celsius.data());

    const auto hottest = std::max_element(png.samples.begin(), png.samples.end()) - png.samples.begin();
    // The first pixel carries the emulator's stamp, below O: no temperature.
    for (const long i : {0L, 200L, 60L * 160 + 80, long(hottest), long(kPixels - 1)}) {
        const long x = i % 160, y = i / 160;
        SCOPED_TRACE("pixel " + std::to_string(x) + "," + std::to_string(y));
        const auto r = http().Get(
            ("/api/temperature?x=" + std::to_string(x) + "&y=" + std::to_string(y) + "&frame=" + frame).c_str());
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, 200) << r->body;
        const json j = json::parse(r->body);
        EXPECT_EQ(j.at("raw"), png.samples[size_t(i)]);
        if (std::isnan(celsius[size_t(i)])) {
            EXPECT_TRUE(j.at("celsius").is_null());
            continue;
        }
        // The number as it stands in the answer is the CSV's text for the pixel.
        const std::string csv = lep3tool::format_text("%.2f", static_cast<double>(celsius[size_t(i)]));
        const auto text = lep3::test::search(r->body, "\"celsius\":(-?[0-9.]+)");
        ASSERT_TRUE(text);
        EXPECT_EQ(std::stod((*text)[1]), std::stod(csv));
        EXPECT_EQ(lep3tool::format_text("%.2f", std::stod((*text)[1])), csv);
    }
}

TEST_F(ViewTest, ControlsChangeTheCameraAndReadItBack)
{
    start_viewer();
    ASSERT_TRUE(wait_for_frames());
    auto set = http().Post("/api/settings/agc", "1", "text/plain");
    ASSERT_TRUE(set);
    ASSERT_EQ(set->status, 200) << set->body;
    EXPECT_EQ(json::parse(set->body).at("value"), 1);
    EXPECT_EQ(sim().reg(lep3::sim::cmd::kAgcEnable), (std::vector<uint8_t>{1, 0, 0, 0}));
    // The form a page's form would send, and on/off as `lep3 set` takes them.
    ASSERT_EQ(http().Post("/api/settings/gain-mode", "value=2", "application/x-www-form-urlencoded")->status, 200);
    EXPECT_EQ(sim().reg(lep3::sim::cmd::kSysGainMode), (std::vector<uint8_t>{2, 0, 0, 0}));
    ASSERT_EQ(http().Post("/api/settings/agc", "off", "text/plain")->status, 200);
    EXPECT_EQ(sim().reg(lep3::sim::cmd::kAgcEnable), (std::vector<uint8_t>{0, 0, 0, 0}));

    const auto all = http().Get("/api/settings");
    ASSERT_TRUE(all);
    ASSERT_EQ(all->status, 200);
    std::map<std::string, json> by_name;
    const json listed = json::parse(all->body);
    for (const auto &s : listed.at("settings"))
        by_name[s.at("name").get<std::string>()] = s;
    for (const char *name : {"agc", "gain-mode", "video-format", "radiometry"}) {
        ASSERT_EQ(by_name.count(name), 1u) << name;
        EXPECT_TRUE(by_name[name].at("writable").get<bool>());
    }
    EXPECT_EQ(by_name["gain-mode"].at("value"), 2);
    EXPECT_EQ(by_name["gain-mode"].at("text"), "2");
    EXPECT_FALSE(by_name["serial-number"].at("writable").get<bool>());

    const size_t before = sim().request_count(lep3::sim::cmd::kSysRunFfc);
    const auto ffc = http().Post("/api/ffc");
    ASSERT_TRUE(ffc);
    EXPECT_EQ(ffc->status, 200) << ffc->body;
    EXPECT_EQ(sim().request_count(lep3::sim::cmd::kSysRunFfc), before + 1);
}

// curl -X POST sends neither a body nor a Content-Length: answered at once, not refused
// after the read time-out. A range that misses the frame's values says so in a header.
TEST_F(ViewTest, BodilessPostIsAnsweredAndAMissedRangeIsSaid)
{
    start_viewer();
    ASSERT_TRUE(wait_for_frames());
    const std::string answer =
        lep3::test::exchange(port_, "POST /api/ffc HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << answer;

    for (const auto &[range, warned] : {std::pair{"20:30", true}, {"auto", false}, {"20C:40C", false}}) {
        SCOPED_TRACE(range);
        const auto r = http().Get(std::string("/frame.png?range=") + range);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, 200) << r->body;
        const std::string warning = r->get_header_value("Lep3-Warning");
        EXPECT_EQ(warning.empty(), !warned) << warning;
        if (warned) {
            EXPECT_NE(warning.find("the range 20:30 lies outside the frame's raw values, "), std::string::npos)
                << warning;
        }
    }
}

TEST_F(ViewTest, BadRequestsGetA4xxWithTheirSentence)
{
    start_viewer();
    ASSERT_TRUE(wait_for_frames());
    struct Case {
        const char *method, *path, *body;
        int status;
        const char *sentence;
    };
    const Case cases[] = {
        {"POST", "/api/settings/nosuch", "1", 404, "unknown setting 'nosuch'"},
        {"POST", "/api/settings/agc", "lots", 400, "the value of agc must be a whole number, not 'lots'"},
        {"POST", "/api/settings/gain-mode", "7", 400, "7 is out of range for gain-mode: it takes 0 to 2"},
        {"POST", "/api/settings/agc", "-1", 400, "-1 is out of range for agc: it takes 0 or 1"},
        {"POST", "/api/settings/serial-number", "1", 400, "serial-number can be read but not set"},
        {"GET", "/api/temperature?x=160&y=0", "", 400, "x 160 is out of range (0 to 159)"},
        {"GET", "/api/temperature?x=1&y=%ff", "", 400, "y must be a whole number"},
        {"GET", "/api/temperature?x=1", "", 400, "give the pixel as ?x=X&y=Y"},
        {"GET", "/api/temperature?x=1&y=1&frame=4000000000", "", 404, "frame 4000000000 is no longer kept"},
        {"GET", "/frame.png?palette=sepia", "", 400, "unknown palette 'sepia'; the palettes are fusion"},
        {"GET", "/frame.png?range=9:1", "", 400, "range minimum must be below its maximum"},
        {"GET", "/api/stream?range=30C:20C", "", 400, "range minimum must be below its maximum"},
        {"GET", "/frame.png?range=20C:hot", "", 400, "both ends of a range in degrees end with C"},
        {"GET", "/nowhere", "", 404, "no such path"},
        {"DELETE", "/api/ffc", "", 404, "no such path"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        httplib::Request req;
        req.method = c.method;
        req.path = c.path;
        req.body = c.body;
        req.set_header("Content-Type", "text/plain");
        const auto r = http().send(req);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status);
        EXPECT_NE(json::parse(r->body).at("error").get<std::string>().find(c.sentence), std::string::npos) << r->body;
    }
    // Nothing out of range reached the camera.
    EXPECT_EQ(sim().reg(lep3::sim::cmd::kSysGainMode), (std::vector<uint8_t>{0, 0, 0, 0}));

    // Garbage instead of HTTP, and a body too large: refused, and the viewer carries on.
    EXPECT_NE(lep3::test::exchange(port_, "\x01\x02 garbage\r\n\r\n").find(" 400 "), std::string::npos);
    EXPECT_NE(lep3::test::exchange(port_, "POST /api/settings/agc HTTP/1.1\r\nConnection: close\r\n"
                                          "Content-Length: 100000\r\n\r\n" +
                                              std::string(100000, '1'))
                  .find(" 413 "),
              std::string::npos);
    const auto alive = http().Get("/api/status");
    ASSERT_TRUE(alive);
    EXPECT_EQ(alive->status, 200);
}

// Off loopback the page's own files are open to anyone, and a download link carries the
// token in its address. (Every other path's refusal without it, which comes before any
// route, is the thermography routes' test.)
TEST_F(ViewTest, OffLoopbackThePageIsOpenAndTheTokenMayComeInTheAddress)
{
    start_viewer({"--bind", "0.0.0.0"});
    ASSERT_EQ(token_.size(), 32u) << viewer_->output();
    ASSERT_TRUE(wait_for_frames());
    for (const char *path : {"/", "/view.js", "/view.css"})
        EXPECT_EQ(http().Get(path)->status, 200) << path;
    EXPECT_EQ(http().Get("/raw.png")->status, 401);
    EXPECT_EQ(http().Get(("/raw.png?token=" + token_).c_str())->status, 200);
    EXPECT_EQ(http().Get(("/api/temperature?x=1&y=1&token=" + token_).c_str())->status, 200);
}

// Frame events of an event stream, read by hand from a socket with a small receive
// buffer, so that a reader that pauses really stops the server's writes.
class EventReader {
  public:
    explicit EventReader(int port) : client_(port, "127.0.0.1", 16 * 1024)
    {
        client_.send("GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }
    bool ok() const { return client_.ok(); }

    // The frame number of the next frame event, or -1 when the stream ends.
    long next_frame()
    {
        for (;;) {
            const auto m = lep3::test::search(buffer_, "event: frame\ndata: \\{[^\n]*\"frame\":([0-9]+)[^\n]*\n\n");
            if (m) {
                buffer_.erase(0, buffer_.find((*m)[0]) + (*m)[0].size());
                return std::stol((*m)[1]);
            }
            const std::string more = client_.receive(1);
            if (more.empty())
                return -1;
            buffer_ += more;
        }
    }

  private:
    lep3::test::LoopbackClient client_;
    std::string buffer_;
};

TEST_F(ViewTest, StreamSkipsToTheNewestFrameForAReaderThatPaused)
{
    options_.fps = 60;
    plug();
    start_viewer();
    ASSERT_TRUE(wait_for_frames());
    EventReader keen(port_), slow(port_);
    ASSERT_TRUE(keen.ok() && slow.ok());
    ASSERT_GT(slow.next_frame(), 0);
    // Both count as browsers following the picture.
    EXPECT_EQ(json::parse(http().Get("/api/status")->body).at("browsers"), 2);

    // One reader pauses (for less than the server waits on a browser that takes no
    // data); the other keeps reading, and its frames only ever move forward.
    auto newest = [&] { return json::parse(http().Get("/api/status")->body).at("frame").get<long>(); };
    const long paused_at = newest();
    const auto pause_end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (long seen = keen.next_frame(); std::chrono::steady_clock::now() < pause_end;) {
        const long n = keen.next_frame();
        ASSERT_GT(n, seen);
        seen = n;
    }
    const long target = newest();

    // The paused reader finds the frames that waited in the sockets' buffers, about ten
    // of these, then the newest: it skipped what it missed instead of working through a
    // backlog of every frame of the pause (a hundred or so, fewer on a busy machine).
    constexpr long kBuffered = 16;
    long stale = 0;
    for (long n = slow.next_frame(); n < target; n = slow.next_frame()) {
        ASSERT_GT(n, 0);
        ++stale;
    }
    EXPECT_LE(stale, kBuffered) << "frames queued for a reader that paused; " << target - paused_at << " came";
}

TEST_F(ViewTest, HangUpAndCtrlCEndTheViewerAndFreeItsPort)
{
    for (const int signo : {SIGHUP, SIGINT}) {
        SCOPED_TRACE(signo);
        start_viewer();
        ASSERT_TRUE(wait_for_frames());
        // A browser following the picture does not keep the viewer alive.
        EventReader follower(port_);
        ASSERT_GT(follower.next_frame(), 0);
        const auto r = stop_viewer(signo);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("lep3 view: stopped"), std::string::npos);
        // What was on its way, then the end of the stream.
        while (follower.next_frame() > 0) {
        }

        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(static_cast<uint16_t>(port_));
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at), 0) << "the port is still taken";
        close(fd);
    }
}

} // namespace
