// The viewer's parts on their own: the hub that hands out the newest frame, and which
// addresses count as this machine only.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "serve/access_token.h"
#include "serve/frame_hub.h"

namespace {

using namespace std::chrono_literals;
using lep3tool::serve::FrameHub;
using lep3tool::serve::ViewFrame;

std::shared_ptr<ViewFrame> frame_numbered(uint32_t number)
{
    auto f = std::make_shared<ViewFrame>();
    f->number = number;
    return f;
}

TEST(FrameHubTest, FollowerGetsTheNewestFrameAndSkipsTheRest)
{
    FrameHub hub;
    EXPECT_EQ(hub.wait_newer(0, 10ms), nullptr);
    for (uint32_t n = 1; n <= 5; ++n)
        hub.publish(frame_numbered(n));
    // A follower that saw frame 1 gets frame 5 next, not 2.
    const auto next = hub.wait_newer(1, 10ms);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->number, 5u);
    EXPECT_EQ(hub.wait_newer(next->seq, 10ms), nullptr);
    // Recent frames can still be asked about; older ones are gone.
    EXPECT_NE(hub.find(5), nullptr);
    for (uint32_t n = 6; n < 6 + FrameHub::kHistory; ++n)
        hub.publish(frame_numbered(n));
    EXPECT_EQ(hub.find(5), nullptr);
}

TEST(FrameHubTest, CloseWakesAWaitingFollowerAtOnce)
{
    FrameHub hub;
    const auto start = std::chrono::steady_clock::now();
    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        hub.close();
    });
    EXPECT_EQ(hub.wait_newer(0, 60s), nullptr);
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_TRUE(hub.closed());
}

TEST(AccessTokenTest, OnlyLoopbackAddressesGoWithoutAToken)
{
    for (const char *local : {"127.0.0.1", "127.8.9.10", "::1", "localhost"})
        EXPECT_TRUE(lep3tool::serve::is_loopback(local)) << local;
    for (const char *other : {"0.0.0.0", "::", "192.168.1.20", "10.0.0.1", "fe80::1", "example"})
        EXPECT_FALSE(lep3tool::serve::is_loopback(other)) << other;
    for (const char *host : {"127.0.0.1:8080", "localhost", "[::1]:80"})
        EXPECT_TRUE(lep3tool::serve::is_loopback_host(host)) << host;
    for (const char *host : {"evil.example:8080", "192.168.1.20", "[fe80::1]:80", "[::1", "127.0.0.1.evil.example"})
        EXPECT_FALSE(lep3tool::serve::is_loopback_host(host)) << host;
    const std::string token = lep3tool::serve::make_token();
    EXPECT_EQ(token.size(), 32u);
    EXPECT_NE(token, lep3tool::serve::make_token());
    EXPECT_TRUE(lep3tool::serve::token_matches(token, token));
    EXPECT_FALSE(lep3tool::serve::token_matches(token.substr(1), token));
    EXPECT_FALSE(lep3tool::serve::token_matches("", ""));
}

} // namespace
