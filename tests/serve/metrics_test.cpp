// GET /metrics as Prometheus reads it: every scrape parsed by Prometheus's own Python
// parser (python3-prometheus-client), each figure tied to what the camera did.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "serve/view_fixture.h"
#include "support/eventually.h"

namespace {

using namespace std::chrono_literals;
using lep3::test::expect_clean_failure;
using lep3::test::run_tool;

// Prints each sample of the exposition on standard input as "KEY VALUE TYPE", KEY being
// the name with its labels sorted; exits 77 without the parser, 1 when it refuses the text.
constexpr const char *kParser = R"(
import sys
try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    sys.exit(77)
for family in text_string_to_metric_families(sys.stdin.read()):
    for s in family.samples:
        labels = ",".join('%s="%s"' % kv for kv in sorted(s.labels.items()))
        print("%s%s %r %s" % (s.name, "{%s}" % labels if labels else "", s.value, family.type))
)";

struct Sample {
    double value;
    std::string type;
};
using Samples = std::map<std::string, Sample>;

class MetricsTest : public lep3::test::ViewTest {
  protected:
    Samples scrape()
    {
        const auto r = http().Get("/metrics");
        EXPECT_TRUE(r && r->status == 200);
        if (!r || r->status != 200)
            return {};
        EXPECT_EQ(r->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
        std::ofstream(path("parser.py")) << kParser;
        std::ofstream(path("metrics.txt")) << r->body;
        const std::string command =
            "/usr/bin/python3 " + path("parser.py") + " < " + path("metrics.txt") + " > " + path("samples.txt");
        const int status = std::system(command.c_str());
        if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
            skipped_ = true;
        EXPECT_TRUE(skipped_ || status == 0) << "Prometheus's parser refused:\n" << r->body;
        Samples samples;
        std::ifstream in(path("samples.txt"));
        for (std::string key, type; in >> key;) {
            double value = 0;
            in >> value >> type;
            samples[key] = {value, type};
        }
        return samples;
    }

    bool skipped_ = false;
};

// Frames flow through a link whose every third frame fails its check byte, with a box and
// an alarm on it that is raised at once.
TEST_F(MetricsTest, EveryFigureParsesAndFollowsTheCamera)
{
    lep3::sim::Faults faults;
    faults.corrupt_frame_every = 3;
    sim().set_faults(faults);
    const double started = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    start_viewer({"--box", "box1=10,10,50,40", "--alarm", "box1>-50C"});
    ASSERT_TRUE(wait_for_frames(2));
    const Samples first = scrape();
    if (skipped_)
        GTEST_SKIP() << "no python3-prometheus-client";
    Samples second;
    ASSERT_TRUE(lep3::test::eventually(
        [&] {
            second = scrape();
            return second["lep3_frame_check_errors_total"].value > first.at("lep3_frame_check_errors_total").value &&
                   second["lep3_frames_total"].value > first.at("lep3_frames_total").value + 2;
        },
        10s));

    // No counter goes back between scrapes; the link's bytes grow with the frames.
    for (const auto &[key, sample] : first) {
        if (sample.type == "counter") {
            ASSERT_TRUE(second.contains(key)) << key;
            EXPECT_GE(second.at(key).value, sample.value) << key;
        }
    }
    EXPECT_GT(second.at("lep3_link_read_bytes_total").value, first.at("lep3_link_read_bytes_total").value);
    EXPECT_EQ(second.at("lep3_link_state{state=\"up\"}").value, 1);
    EXPECT_EQ(second.at("lep3_link_state{state=\"gone\"}").value, 0);

    // The region's figures lie within the frame's, and its alarm is raised.
    const auto frame = [&](const char *stat) {
        return second.at("lep3_frame_temperature_celsius{stat=\"" + std::string(stat) + "\"}").value;
    };
    const auto box = [&](const char *stat) {
        return second.at("lep3_temperature_celsius{region=\"box1\",stat=\"" + std::string(stat) + "\"}").value;
    };
    EXPECT_LT(frame("min"), frame("max"));
    EXPECT_LE(frame("min"), box("min"));
    EXPECT_LE(box("min"), box("mean"));
    EXPECT_LE(box("mean"), box("max"));
    EXPECT_LE(box("max"), frame("max"));
    EXPECT_EQ(second.at("lep3_alarms_active").value, 1);
    EXPECT_EQ(second.at("lep3_alarm_active{alarm=\"1\",region=\"box1\",rule=\"box1>-50C\"}").value, 1);

    // The process's own figures are the viewer's, not the test's.
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_GE(second.at("process_start_time_seconds").value, started - 2);
    EXPECT_LE(second.at("process_start_time_seconds").value, now + 2);
    EXPECT_GT(second.at("process_resident_memory_bytes").value, 1e6);
    EXPECT_GT(second.at("process_open_fds").value, 3);
    EXPECT_LE(second.at("process_open_fds").value, second.at("process_max_fds").value);
}

// Off loopback the scraper needs the token, which a file keeps the same across restarts;
// a file that holds no usable token stops the start.
TEST_F(MetricsTest, OffLoopbackTheTokenComesFromItsFile)
{
    const std::string file = path("token");
    const std::pair<const char *, const char *> refused[] = {
        {nullptr, "cannot read the access token"},
        {"0123456789abcde\n", "must be one line of 16 to 128"},
        {"0123456789abcdef&x=1\n", "must be one line of 16 to 128"},
    };
    for (const auto &[content, needle] : refused) {
        SCOPED_TRACE(needle);
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
