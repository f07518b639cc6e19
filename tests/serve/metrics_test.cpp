// GET /metrics as Prometheus reads it: every scrape parsed by Prometheus's own Python
// parser (python3-prometheus-client), each figure tied to what the camera did.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>

#include "serve/view_fixture.h"
#include "support/eventually.h"

namespace {

using namespace std::chrono_literals;
using lep3::test::expect_clean_failure;
using lep3::test::run_tool;
using Samples = std::map<std::string, double>; // name{labels, sorted} to value

// Prints each sample of the text on standard input as "KEY VALUE"; exits 77 without the
// parser, 1 when it refuses the text.
constexpr const char *kParser = R"(
import sys
try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    sys.exit(77)
for family in text_string_to_metric_families(sys.stdin.read()):
    for s in family.samples:
        labels = ",".join('%s="%s"' % kv for kv in sorted(s.labels.items()))
        print("%s%s %r" % (s.name, "{%s}" % labels if labels else "", s.value))
)";

double now_seconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class MetricsTest : public lep3::test::ViewTest {
  protected:
    Samples scrape()
    {
        const auto r = http().Get("/metrics");
        if (!r || r->status != 200)
            return {};
        EXPECT_EQ(r->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
        std::ofstream(path("parser.py")) << kParser;
        std::ofstream(path("metrics.txt")) << r->body;
        const int status = std::system(
            ("/usr/bin/python3 " + path("parser.py") + " <" + path("metrics.txt") + " >" + path("samples")).c_str());
        skipped_ = WIFEXITED(status) && WEXITSTATUS(status) == 77;
        EXPECT_TRUE(skipped_ || status == 0) << "Prometheus's parser refused:\n" << r->body;
        Samples samples;
        std::ifstream in(path("samples"));
        for (std::string key; in >> key;)
            in >> samples[key];
        return samples;
    }

    bool skipped_ = false;
};

// A link whose every third frame fails its check byte, a box, and an alarm on it that is
// raised at once.
TEST_F(MetricsTest, EveryFigureParsesAndFollowsTheCamera)
{
    lep3::sim::Faults faults;
    faults.corrupt_frame_every = 3;
    sim().set_faults(faults);
    const double started = now_seconds();
    start_viewer({"--box", "box1=10,10,50,40", "--alarm", "box1>-50C"});
    ASSERT_TRUE(wait_for_frames(2));
    const Samples first = scrape();
    if (skipped_)
        GTEST_SKIP() << "no python3-prometheus-client";
    Samples second;
    ASSERT_TRUE(lep3::test::eventually(
        [&] {
            second = scrape();
            return second["lep3_frame_check_errors_total"] > first.at("lep3_frame_check_errors_total") &&
                   second["lep3_frames_total"] > first.at("lep3_frames_total") + 2 &&
                   second["lep3_link_read_bytes_total"] > first.at("lep3_link_read_bytes_total");
        },
        10s));
    for (const auto &[key, value] : first)
        if (key.find("_total") != std::string::npos) {
            EXPECT_GE(second[key], value) << key << " went back";
        }

    EXPECT_EQ(second["lep3_link_state{state=\"up\"}"], 1);
    EXPECT_EQ(second["lep3_link_state{state=\"gone\"}"], 0);
    // The box lies within the frame; its alarm is raised.
    const double ordered[] = {
        second.at("lep3_frame_temperature_celsius{stat=\"min\"}"),
        second.at("lep3_temperature_celsius{region=\"box1\",stat=\"min\"}"),
        second.at("lep3_temperature_celsius{region=\"box1\",stat=\"mean\"}"),
        second.at("lep3_temperature_celsius{region=\"box1\",stat=\"max\"}"),
        second.at("lep3_frame_temperature_celsius{stat=\"max\"}"),
    };
    EXPECT_TRUE(std::is_sorted(std::begin(ordered), std::end(ordered)));
    EXPECT_EQ(second["lep3_alarms_active"], 1);
    EXPECT_EQ(second["lep3_alarm_active{alarm=\"1\",region=\"box1\",rule=\"box1>-50C\"}"], 1);
    // The process's figures are the viewer's, not the test's.
    EXPECT_GE(second.at("process_start_time_seconds"), started - 2);
    EXPECT_LE(second.at("process_start_time_seconds"), now_seconds() + 2);
    EXPECT_GT(second.at("process_resident_memory_bytes"), 1e6);
    EXPECT_LT(second.at("process_open_fds"), second.at("process_max_fds"));
}

// Off loopback the scraper needs the token, which a file keeps the same across restarts;
// a file that holds no usable token stops the start.
TEST_F(MetricsTest, OffLoopbackTheTokenComesFromItsFile)
{
    const std::string file = path("token");
    const std::pair<const char *, const char *> refused[] = {
        {nullptr, "cannot read the access token"},
        {"0123456789abcdef&x=1\n", "must be one line of 16 to 128"},
    };
    for (const auto &[content, needle] : refused) {
        std::filesystem::remove(file);
        if (content != nullptr)
            std::ofstream(file) << content;
        expect_clean_failure(run_tool({"view", "--device", options_.path, "--bind", "0.0.0.0", "--token-file", file}),
                             needle);
    }

    std::ofstream(file) << "00112233445566778899aabb\n";
    start_viewer({"--bind", "0.0.0.0", "--token-file", file});
    EXPECT_EQ(token_, "00112233445566778899aabb");
    EXPECT_EQ(http().Get("/metrics")->status, 401);
    EXPECT_EQ(http().Get("/metrics", {{"Authorization", "Bearer " + token_}})->status, 200);
}

} // namespace
