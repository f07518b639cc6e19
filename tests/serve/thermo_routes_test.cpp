// The viewer's thermography over HTTP against the emulator: regions, object parameters and
// alarms are added, changed and deleted through the API with the same strictness and the
// same token and origin rules as the rest, and every frame measures what is in force.
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "serve/view_fixture.h"

namespace {

using lep3::test::ViewTest;
using nlohmann::json;

struct Exchange {
    const char *method;
    const char *path;
    const char *body;
    int status;
    const char *says; // a part of the answer's body
};

// In order: each case sees what the ones before it left.
constexpr Exchange kExchanges[] = {
    {"POST", "/api/regions", R"({"kind":"box","x0":30,"y0":40,"x1":1,"y1":2})", 201, R"("name":"box1")"},
    {"POST", "/api/regions", R"({"kind":"spot","x0":80,"y0":60})", 201, R"("name":"spot1")"},
    {"POST", "/api/regions", R"({"name":"edge","kind":"line","x0":0,"y0":119,"x1":159,"y1":0})", 201, "edge"},
    {"POST", "/api/regions", R"({"name":"hot","kind":"spot","x0":1,"y0":1})", 400, "exists already"},
    {"POST", "/api/regions", R"({"kind":"spot","x0":160,"y0":0})", 400, "x0 must be a whole number from 0 to 159"},
    {"POST", "/api/regions", R"({"kind":"spot","x0":-1,"y0":0})", 400, "x0"},
    {"POST", "/api/regions", R"({"kind":"box","x0":1.5,"y0":0,"x1":2,"y1":2})", 400, "x0"},
    {"POST", "/api/regions", R"({"kind":"box","x0":1,"y0":0,"x1":2})", 400, "give y1"},
    {"POST", "/api/regions", R"({"kind":"spot","x0":1,"y0":1,"x1":1,"y1":1})", 400, "one pixel"},
    {"POST", "/api/regions", R"({"kind":"circle","x0":1,"y0":1})", 400, "spot, box or line"},
    {"POST", "/api/regions", R"({"kind":"spot","x0":1,"y0":1,"r":2})", 400, "unknown key"},
    {"POST", "/api/regions", R"({"name":"a b","kind":"spot","x0":1,"y0":1})", 400, "name"},
    {"POST", "/api/regions", "spot 1,1", 400, "JSON object"},
    {"DELETE", "/api/regions/box1", "", 200, "box1"},
    {"DELETE", "/api/regions/box1", "", 404, "no region named"},
    {"DELETE", "/api/regions/", "", 404, "no such path"},
    {"POST", "/api/object", R"({"emissivity":0.5,"distance_m":1})", 200, R"("distance_m":1.0)"},
    {"POST", "/api/object", R"({"emissivity":0})", 400, "out of range"},
    {"POST", "/api/object", R"({"humidity":1e300})", 400, "out of range"},
    {"POST", "/api/object", R"({"air_c":"warm"})", 400, "air_c must be a number"},
    {"POST", "/api/object", R"({"emissivity":1,"colour":1})", 400, "unknown key"},
    {"POST", "/api/alarms", "spot1<-90C", 201, R"("id":3)"},
    {"POST", "/api/alarms", "nowhere>1C", 400, "nowhere"},
    {"POST", "/api/alarms", "spot1>>1", 400, ""},
    {"DELETE", "/api/alarms/99", "", 404, "no alarm 99"},
    {"DELETE", "/api/alarms/x", "", 400, "alarm"},
    {"DELETE", "/api/alarms/3", "", 200, R"("deleted":3)"},
    {"GET", "/frame.png?isotherm=40:30", "", 400, "low to high"},
    {"GET", "/frame.png?isotherm=35", "", 400, "LOW:HIGH"},
    {"GET", "/frame.png?isotherm=x:40", "", 400, ""},
};

httplib::Result send(httplib::Client &c, const std::string &method, const std::string &path, const std::string &body,
                     const httplib::Headers &headers = {})
{
    if (method == "POST")
        return c.Post(path, headers, body, body.starts_with("{") ? "application/json" : "text/plain");
    if (method == "DELETE")
        return c.Delete(path, headers);
    return c.Get(path, headers);
}

double centre_celsius(httplib::Client &c)
{
    return json::parse(c.Get("/api/temperature?x=80&y=60")->body).at("celsius").get<double>();
}

TEST_F(ViewTest, RegionsObjectAndAlarmsAreSetThroughTheApiAndMeasuredEveryFrame)
{
    start_viewer({"--spot", "hot=80,60", "--alarm", "hot>-90C", "--alarm", "hot<-95C for 1s"});
    ASSERT_TRUE(wait_for_frames(2));
    const double plain = centre_celsius(http());

    for (const Exchange &e : kExchanges) {
        const auto r = send(http(), e.method, e.path, e.body);
        ASSERT_TRUE(r) << e.method << " " << e.path;
        EXPECT_EQ(r->status, e.status) << e.method << " " << e.path << " " << e.body << ": " << r->body;
        EXPECT_NE(r->body.find(e.says), std::string::npos) << e.path << " " << e.body << ": " << r->body;
    }

    // The regions left, each with its readings: the spot reads the pixel, the line crosses
    // the frame corner to corner.
    const int frames = json::parse(http().Get("/api/status")->body).at("frames").get<int>();
    ASSERT_TRUE(wait_for_frames(frames + 2));
    const json regions = json::parse(http().Get("/api/regions")->body).at("regions");
    ASSERT_EQ(regions.size(), 3u) << regions;
    EXPECT_EQ(regions[0].at("name"), "hot");
    EXPECT_EQ(regions[1].at("name"), "spot1");
    EXPECT_EQ(regions[2].at("pixels"), 160);
    EXPECT_EQ(regions[1].at("pixels"), 1);
    EXPECT_EQ(regions[1].at("min_c"), regions[1].at("max_c"));

    // An emissivity of 0.5 puts the object farther from the reflected 20 C than the
    // black body it would be.
    const double object = centre_celsius(http());
    EXPECT_GT((object - 20) * (plain - 20), 0);
    EXPECT_GT(std::abs(object - 20), std::abs(plain - 20) * 1.5) << plain << " " << object;
    EXPECT_NEAR(json::parse(http().Get("/api/object")->body).at("emissivity").get<double>(), 0.5, 1e-6);

    // The alarms of the command line: one raised at once, one whose condition never holds.
    const json alarms = json::parse(http().Get("/api/status")->body).at("alarms");
    ASSERT_EQ(alarms.size(), 2u) << alarms;
    EXPECT_EQ(alarms[0].at("rule"), "hot>-90C");
    EXPECT_TRUE(alarms[0].at("raised").get<bool>());
    EXPECT_FALSE(alarms[1].at("raised").get<bool>());
    EXPECT_TRUE(alarms[1].at("value_c").is_number());

    // An isotherm over every temperature paints the whole picture; one above them all
    // leaves it grey.
    for (const auto &[band, red] : {std::pair{"-100:2000", true}, std::pair{"1999C:2000C", false}}) {
        const auto r = http().Get(std::string("/frame.png?isotherm=") + band);
        ASSERT_EQ(r->status, 200) << r->body;
        const auto png = decode(r->body);
        size_t painted = 0, grey = 0;
        for (size_t i = 0; i + 2 < png.samples.size(); i += 3) {
            painted += png.samples[i] == 255 && png.samples[i + 1] == 0 && png.samples[i + 2] == 0;
            grey += png.samples[i] == png.samples[i + 1] && png.samples[i + 1] == png.samples[i + 2];
        }
        EXPECT_EQ(red ? painted : grey, png.samples.size() / 3) << band;
    }
}

TEST_F(ViewTest, ThermographyFollowsTheTokenAndOriginRules)
{
    start_viewer({"--bind", "0.0.0.0", "--box", "1,1,10,10"});
    ASSERT_EQ(token_.size(), 32u) << viewer_->output();
    const std::string host = "127.0.0.1:" + std::to_string(port_);
    const httplib::Headers mine = {{"Authorization", "Bearer " + token_}, {"Origin", "http://" + host}};
    const httplib::Headers elsewhere = {{"Authorization", "Bearer " + token_}, {"Origin", "http://evil.example"}};
    const httplib::Headers wrong = {{"Authorization", "Bearer " + std::string(32, '0')}};
    const Exchange acts[] = {
        {"GET", "/api/regions", "", 200, ""},
        {"GET", "/api/object", "", 200, ""},
        {"GET", "/api/alarms", "", 200, ""},
        {"POST", "/api/object", R"({"emissivity":0.9})", 200, ""},
        {"POST", "/api/alarms", "box1>2000C", 201, ""},
        {"DELETE", "/api/alarms/1", "", 200, ""},
        {"POST", "/api/regions", R"({"kind":"spot","x0":3,"y0":3})", 201, ""},
        {"DELETE", "/api/regions/spot1", "", 200, ""},
    };
    for (const Exchange &e : acts) {
        for (const httplib::Headers &headers : {httplib::Headers{}, wrong})
            EXPECT_EQ(send(http(), e.method, e.path, e.body, headers)->status, 401) << e.method << " " << e.path;
        EXPECT_EQ(send(http(), e.method, e.path, e.body, elsewhere)->status, 403) << e.method << " " << e.path;
        EXPECT_EQ(send(http(), e.method, e.path, e.body, mine)->status, e.status) << e.method << " " << e.path;
    }
}

} // namespace
