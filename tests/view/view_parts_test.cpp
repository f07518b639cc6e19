// The viewer's parts on their own: the hub that hands out the newest frame, the range a
// user gives, the degrees-to-raw scale, and which addresses count as this machine only.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "lep3.h"
#include "tools/args.h"
#include "tools/radiometry.h"
#include "tools/view/access_token.h"
#include "tools/view/celsius_scale.h"
#include "tools/view/frame_hub.h"
#include "tools/view/picture.h"

namespace {

using namespace std::chrono_literals;
using lep3tool::view::FrameHub;
using lep3tool::view::ViewFrame;
using lep3tool::view::ViewRange;

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

TEST(ViewRangeTest, RangesInRawValuesAndDegreesAndTheirRefusals)
{
    EXPECT_EQ(ViewRange::parse("auto").mode, ViewRange::Mode::automatic);
    EXPECT_EQ(ViewRange::parse("held").mode, ViewRange::Mode::held);
    const ViewRange raw = ViewRange::parse("7000:9000");
    EXPECT_EQ(raw.mode, ViewRange::Mode::raw);
    EXPECT_EQ(raw.raw_lo, 7000u);
    EXPECT_EQ(raw.raw_hi, 9000u);
    const ViewRange degrees = ViewRange::parse("-5.5:30C");
    EXPECT_EQ(degrees.mode, ViewRange::Mode::celsius);
    EXPECT_EQ(degrees.celsius_lo, -5.5);
    EXPECT_EQ(degrees.celsius_hi, 30);
    EXPECT_EQ(degrees.describe(), "-5.5:30C");
    for (const char *bad : {"", "hot", "9000:7000", "1:2:3", "30:20C", "a:20C", "20C", "nan:20C"})
        EXPECT_THROW(ViewRange::parse(bad), lep3tool::UsageError) << bad;
}

TEST(CelsiusScaleTest, DegreesBecomeTheRawValuesWhoseTemperaturesLieInside)
{
    const lep3_rbfo_t rbfo{878900, 1428, 1, 1000};
    const lep3tool::view::CelsiusScale scale(rbfo);
    // Every entry is what a frame's conversion gives for that raw value.
    std::vector<uint16_t> raw(19200);
    std::vector<float> celsius(raw.size());
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<uint16_t>(i * 3);
    lep3tool::frame_celsius(raw.data(), rbfo, celsius);
    for (size_t i = 0; i < raw.size(); ++i) {
        if (std::isnan(celsius[i]))
            EXPECT_TRUE(std::isnan(scale.at(raw[i]))) << raw[i];
        else
            EXPECT_EQ(scale.at(raw[i]), celsius[i]) << raw[i];
    }

    const auto range = scale.raw_range(20, 30);
    ASSERT_TRUE(range);
    const auto [lo, hi] = *range;
    EXPECT_GE(scale.at(lo), 20);
    EXPECT_LT(scale.at(lo - 1), 20);
    EXPECT_LE(scale.at(hi), 30);
    EXPECT_GT(scale.at(hi + 1), 30);
    // Beyond every temperature the camera can give, there is no range.
    EXPECT_FALSE(scale.raw_range(5000, 6000));
}

TEST(AccessTokenTest, OnlyLoopbackAddressesGoWithoutAToken)
{
    for (const char *local : {"127.0.0.1", "127.8.9.10", "::1", "localhost"})
        EXPECT_TRUE(lep3tool::view::is_loopback(local)) << local;
    for (const char *other : {"0.0.0.0", "::", "192.168.1.20", "10.0.0.1", "fe80::1", "example"})
        EXPECT_FALSE(lep3tool::view::is_loopback(other)) << other;
    for (const char *host : {"127.0.0.1:8080", "localhost", "[::1]:80"})
        EXPECT_TRUE(lep3tool::view::is_loopback_host(host)) << host;
    for (const char *host : {"evil.example:8080", "192.168.1.20", "[fe80::1]:80", "[::1", "127.0.0.1.evil.example"})
        EXPECT_FALSE(lep3tool::view::is_loopback_host(host)) << host;
    const std::string token = lep3tool::view::make_token();
    EXPECT_EQ(token.size(), 32u);
    EXPECT_NE(token, lep3tool::view::make_token());
    EXPECT_TRUE(lep3tool::view::token_matches(token, token));
    EXPECT_FALSE(lep3tool::view::token_matches(token.substr(1), token));
    EXPECT_FALSE(lep3tool::view::token_matches("", ""));
}

} // namespace
