// The viewer against clients that try to starve it, to reach it from another site's
// page, or to slip it values it should refuse: each case a fault the viewer once had.

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "serve/loopback_client.h"
#include "serve/view_fixture.h"
#include "sim/camera_core.h"

namespace {

using lep3::test::ViewTest;
using Clock = std::chrono::steady_clock;

using Connection = lep3::test::LoopbackClient;

std::string get(const std::string &target, const std::string &host, const std::string &more = "")
{
    return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n" + more + "\r\n";
}

int status_of(const std::string &answer)
{
    return answer.size() > 12 && answer.starts_with("HTTP/1.") ? std::stoi(answer.substr(9, 3)) : 0;
}

class HostileClientsTest : public ViewTest {
  protected:
    void SetUp() override
    {
        ViewTest::SetUp();
        start_viewer();
        ASSERT_TRUE(wait_for_frames());
        host_ = "127.0.0.1:" + std::to_string(port_);
    }
    // One request from 127.0.0.1 and its whole answer.
    std::string exchange(const std::string &request) { return lep3::test::exchange(port_, request); }
    std::string host_;
};

TEST_F(HostileClientsTest, SlowManyAndFollowingClientsOfOneAddressLeaveOthersTheirAnswers)
{
    // More connections than one address may hold, each sending half a request: those
    // over the limit are closed at once, the others at the header deadline.
    std::vector<std::unique_ptr<Connection>> slow;
    for (int i = 0; i < 20; ++i) {
        slow.push_back(std::make_unique<Connection>(port_, "127.0.0.2"));
        slow.back()->send("GET /api/status HTTP/1.1\r\n");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // well inside the deadline
    size_t closed_at_once = 0;
    for (auto &c : slow)
        closed_at_once += c->closed_within(std::chrono::milliseconds(0)) ? 1 : 0;
    EXPECT_EQ(closed_at_once, 20u - 16u);
    // Meanwhile another address is answered.
    EXPECT_EQ(status_of(exchange(get("/api/status", host_))), 200);

    // A header line now and then does not keep a connection past the deadline.
    Connection trickle(port_, "127.0.0.3");
    trickle.send("GET /api/status HTTP/1.1\r\n");
    const auto start = Clock::now();
    bool closed = false;
    while (!closed && Clock::now() - start < std::chrono::seconds(10)) {
        trickle.send("X-Slow: 1\r\n");
        closed = trickle.closed_within(std::chrono::milliseconds(500));
    }
    EXPECT_TRUE(closed) << "a client trickling header lines kept its connection";

    // Stream followers too are capped for each address.
    std::vector<std::unique_ptr<Connection>> followers;
    for (int i = 0; i < 9; ++i) {
        followers.push_back(std::make_unique<Connection>(port_, i < 8 ? "127.0.0.4" : "127.0.0.1"));
        followers.back()->send(get("/api/stream", host_));
        EXPECT_EQ(status_of(followers.back()->receive(12)), 200) << i;
    }
    Connection one_more(port_, "127.0.0.4");
    one_more.send(get("/api/stream", host_));
    EXPECT_EQ(status_of(one_more.receive()), 429);
}

TEST_F(HostileClientsTest, BodiesAreCappedHoweverFramed)
{
    const auto chunked = [](size_t size) {
        std::string body;
        for (size_t left = size; left > 0; left -= std::min<size_t>(left, 65536)) {
            const size_t n = std::min<size_t>(left, 65536);
            char head[32];
            snprintf(head, sizeof head, "%zx\r\n", n);
            body += head + std::string(n, '1') + "\r\n";
        }
        return "POST /api/settings/agc HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n"
               "Connection: close\r\n\r\n" +
               body + "0\r\n\r\n";
    };
    // A little over the cap: refused, and not quoted back.
    const std::string answer = exchange(chunked(100000));
    EXPECT_EQ(status_of(answer), 413) << answer.substr(0, 200);
    EXPECT_LT(answer.size(), 1000u);
    // Far over it: the viewer ends the connection instead of taking it all.
    Connection huge(port_, "127.0.0.1");
    EXPECT_LT(huge.send(chunked(size_t{32} << 20)), size_t{16} << 20);
    EXPECT_EQ(status_of(exchange(get("/api/status", host_))), 200);
}

TEST_F(HostileClientsTest, PagesOfOtherSitesGetNothingOnAnyPath)
{
    const std::string evil = "evil.example:" + std::to_string(port_);
    const size_t requests_before = sim().requests().size();
    for (const char *path : {"/api/stream", "/api/temperature?x=1&y=1", "/api/status", "/api/settings", "/frame.png",
                             "/raw.png", "/api/palettes", "/"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(status_of(exchange(get(path, evil))), 403);
        EXPECT_EQ(status_of(exchange(get(path, host_, "Origin: http://" + evil + "\r\n"))), 403);
    }
    // Not one camera read was sent for them.
    EXPECT_EQ(sim().requests().size(), requests_before);
    // No page may frame the viewer's, and the page may load only its own files.
    for (const char *path : {"/", "/api/status", "/nowhere"}) {
        const std::string answer = exchange(get(path, host_));
        EXPECT_NE(answer.find("X-Frame-Options: DENY\r\n"), std::string::npos) << path;
        EXPECT_NE(answer.find("Content-Security-Policy: default-src 'none'; script-src 'self';"), std::string::npos)
            << path;
    }
}

TEST_F(HostileClientsTest, NumbersArePlainDecimalAndBadValuesAreQuotedInPart)
{
    const auto post = [](const std::string &body) {
        return "POST /api/settings/agc HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    const std::string refused[] = {get("/api/temperature?x=0x10&y=1", host_),
                                   get("/api/temperature?x=%2B5&y=1", host_),
                                   get("/api/temperature?x=1&y=%205", host_),
                                   get("/api/temperature?x=1&y=5%00", host_),
                                   get("/api/temperature?x=1&y=1&frame=1e3", host_),
                                   get("/frame.png?range=0x10:0x20", host_),
                                   get("/frame.png?range=%2B20C:30C", host_),
                                   get("/api/temperature?x=" + std::string(3000, '7') + "&y=1", host_),
                                   post(" 1"),
                                   post("+1"),
                                   post("0x1"),
                                   post(std::string("1\0x", 3)),
                                   post(std::string(4000, 'x'))};
    for (const std::string &request : refused) {
        SCOPED_TRACE(request.substr(0, 60));
        const std::string answer = exchange(request);
        EXPECT_EQ(status_of(answer), 400) << answer;
        const std::string body = answer.substr(answer.find("\r\n\r\n") + 4);
        EXPECT_LT(body.size(), 200u) << body;
    }
    EXPECT_EQ(sim().reg(lep3::sim::cmd::kAgcEnable), (std::vector<uint8_t>{0, 0, 0, 0}));
    // The forms the paths document still pass: a body's line end, and on/off.
    for (const char *body : {"1\r\n", "off"})
        EXPECT_EQ(status_of(exchange(post(body))), 200) << body;
}

} // namespace
