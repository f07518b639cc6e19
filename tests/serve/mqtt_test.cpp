// lep3 serve publishing to a real mosquitto broker on a free loopback port, watched by
// mosquitto_sub as any other client of the broker would watch it: the retained state and
// the will, measurements against the HTTP API's answers, alarms on a replayed recording,
// commands only when allowed, and a broker that stops and comes back.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "recording/writer.h"
#include "serve/loopback_client.h"
#include "serve/view_fixture.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using lep3::test::eventually;

using lep3::test::installed;
using lep3::test::start_program;
using lep3::test::ToolProcess;

int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at);
    getsockname(fd, reinterpret_cast<sockaddr *>(&at), &size);
    close(fd);
    return ntohs(at.sin_port);
}

struct Message {
    std::string topic;
    std::string payload;
};

// mosquitto_sub on some topics, ready once the broker has acknowledged the subscription.
class Subscriber {
  public:
    Subscriber(int port, const std::vector<std::string> &topics)
    {
        // Its account of the subscription reaches a file only line by line.
        std::vector<std::string> args = {
            "stdbuf", "-oL", "mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-v", "-d"};
        for (const auto &t : topics)
            args.insert(args.end(), {"-t", t});
        program_ = start_program(args);
        if (!eventually([&] { return program_->output().find("Subscribed (mid") != std::string::npos; }, 10s))
            throw std::runtime_error("mosquitto_sub did not subscribe: " + program_->output());
    }
    // The messages so far on topics ending in suffix ("" for all), in order.
    std::vector<Message> messages(const std::string &suffix = "") const
    {
        std::vector<Message> found;
        std::istringstream lines(program_->output());
        for (std::string line; std::getline(lines, line);) {
            const size_t space = line.find(' ');
            if (line.starts_with("Client ") || line.starts_with("Subscribed ") || space == std::string::npos)
                continue; // mosquitto_sub's own account of the protocol
            Message m{line.substr(0, space), line.substr(space + 1)};
            if (m.topic.ends_with(suffix))
                found.push_back(std::move(m));
        }
        return found;
    }
    std::vector<json> payloads(const std::string &suffix) const
    {
        std::vector<json> found;
        for (const Message &m : messages(suffix))
            found.push_back(json::parse(m.payload));
        return found;
    }

  private:
    std::unique_ptr<ToolProcess> program_;
};

class MqttTest : public lep3::test::ViewTest {
  protected:
    void SetUp() override
    {
#ifndef LEP3_HAVE_MQTT
        GTEST_SKIP() << "built without MQTT";
#endif
        for (const char *program : {"mosquitto", "mosquitto_sub", "mosquitto_pub"})
            if (!installed(program))
                GTEST_SKIP() << "no " << program;
        ViewTest::SetUp();
        broker_port_ = free_port();
        std::ofstream(path("broker.conf")) << "listener " << broker_port_ << " 127.0.0.1\nallow_anonymous true\n";
        start_broker();
    }
    void TearDown() override
    {
        viewer_.reset();
        broker_.reset();
        ViewTest::TearDown();
    }

    void start_broker()
    {
        broker_ = start_program({"mosquitto", "-c", path("broker.conf")});
        ASSERT_TRUE(eventually([&] { return lep3::test::LoopbackClient(broker_port_).ok(); }, 10s))
            << broker_->output();
    }
    std::string broker_url() const
    {
        return "mqtt://127.0.0.1:" + std::to_string(broker_port_);
    }

    // lep3 serve on the emulator, publishing to the broker; waits for its first frame.
    void start_service(std::vector<std::string> options)
    {
        std::vector<std::string> args = {"serve", "--device", options_.path, "--port", "0", "--mqtt", broker_url()};
        args.insert(args.end(), options.begin(), options.end());
        viewer_ = std::make_unique<lep3::test::ToolProcess>(args);
        ASSERT_TRUE(viewer_->wait_for_output("to stop)", 20s)) << viewer_->output() << viewer_->error_output();
        const auto found = lep3::test::search(viewer_->output(), "http://127.0.0.1:([0-9]+)/");
        ASSERT_TRUE(found);
        client_ = std::make_unique<httplib::Client>("127.0.0.1", std::stoi((*found)[1]));
        client_->set_read_timeout(20, 0);
        ASSERT_TRUE(wait_for_frames());
    }
    json get(const std::string &target)
    {
        const auto r = http().Get(target);
        if (!r)
            throw std::runtime_error("the service does not answer " + target);
        return json::parse(r->body);
    }
    void publish(const std::string &topic, const std::string &payload)
    {
        const auto r = start_program({"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker_port_), "-q", "1",
                                      "-t", topic, "-m", payload})
                           ->finish(10s);
        EXPECT_EQ(r.status, 0) << r.err;
    }

    int broker_port_ = 0;
    std::unique_ptr<ToolProcess> broker_;
};

// Seconds of the day in a measurement's UTC time, 2024-05-01T12:00:00.123Z.
double seconds_of(const json &measurement)
{
    const std::string t = measurement.at("time");
    return std::stoi(t.substr(11, 2)) * 3600 + std::stoi(t.substr(14, 2)) * 60 + std::stod(t.substr(17, 6));
}

TEST_F(MqttTest, MeasurementsMatchTheApiAtTheIntervalCommandsAreIgnoredAndAKilledServiceLeavesItsWill)
{
    constexpr double kInterval = 0.25;
    constexpr size_t kWanted = 10;
    start_service({"--mqtt-interval", "0.25", "--spot", "middle=80,60", "--mqtt-discovery"});
    Subscriber sub(broker_port_, {"lep3/#", "homeassistant/#"});
    // The retained state names the default prefix, lep3/SERIAL.
    ASSERT_TRUE(eventually([&] { return !sub.messages("/state").empty(); }, 10s));
    const Message state = sub.messages("/state").front();
    EXPECT_EQ(state.payload, "online");
    ASSERT_TRUE(lep3::test::search(state.topic, "^lep3/[0-9a-fx]+/state$")) << state.topic;
    const std::string prefix = state.topic.substr(0, state.topic.size() - 6);
    publish(prefix + "/cmd/set/agc", "1");

    // Each measurement as it arrives, while the service still keeps its frame.
    size_t checked = 0;
    ASSERT_TRUE(eventually(
        [&] {
            const auto all = sub.payloads("/measurements");
            for (; checked < all.size() && checked < kWanted; ++checked) {
                const json &m = all[checked];
                const json pixel = get("/api/temperature?x=80&y=60&frame=" + std::to_string(m.at("frame").get<int>()));
                EXPECT_EQ(pixel.at("celsius"), m.at("centre_c")) << m;
                EXPECT_EQ(m.at("regions").at("middle").at("max_c"), m.at("centre_c"));
                EXPECT_EQ(m.at("check_ok"), true);
                EXPECT_LE(m.at("min_c").get<double>(), m.at("mean_c").get<double>());
                EXPECT_LE(m.at("mean_c").get<double>(), m.at("max_c").get<double>());
            }
            return checked == kWanted;
        },
        20s));
    const auto measurements = sub.payloads("/measurements");
    const double mean_gap =
        (seconds_of(measurements[kWanted - 1]) - seconds_of(measurements[0])) / static_cast<double>(kWanted - 1);
    EXPECT_NEAR(mean_gap, kInterval, kInterval / 4);
    EXPECT_TRUE(sub.messages("/cmd/result").empty()) << "a command was taken without --mqtt-commands";

    // Home Assistant learns of a region added, and of its removal, by their retained configurations.
    const auto door_config = [&] {
        std::vector<std::string> payloads;
        for (const Message &m : sub.messages("/region_door_max/config"))
            payloads.push_back(m.payload);
        return payloads;
    };
    ASSERT_FALSE(sub.messages("/region_middle_max/config").empty());
    EXPECT_EQ(http().Post("/api/regions", R"({"name":"door","kind":"spot","x0":1,"y0":1})", "application/json")->status,
              201);
    ASSERT_TRUE(eventually([&] { return door_config().size() == 1; }, 5s));
    EXPECT_EQ(json::parse(door_config()[0]).at("state_topic"), prefix + "/measurements");
    EXPECT_EQ(http().Delete("/api/regions/door")->status, 200);
    ASSERT_TRUE(eventually([&] { return door_config().size() == 2; }, 5s));
    EXPECT_EQ(door_config()[1], "(null)"); // an empty payload, as mosquitto_sub -v shows it

    viewer_->send_signal(SIGKILL);
    ASSERT_TRUE(eventually([&] { return sub.messages("/state").back().payload == "offline"; }, 10s));
    // The will is retained: a client that comes later learns it as well.
    Subscriber later(broker_port_, {prefix + "/state"});
    ASSERT_TRUE(eventually([&] { return !later.messages().empty(); }, 5s));
    EXPECT_EQ(later.messages().front().payload, "offline");
}

// A recording whose box is hot in pages 11 to 20 of 30, paced at 20 frames a second.
std::string hot_recording(const std::string &file)
{
    constexpr uint32_t kPages = 30;
    constexpr uint16_t kHot = 12000;
    lep3::recording::RecordingWriter writer(file, lep3::recording::FileInfo{},
                                            lep3::recording::RecordingWriter::Container::classic,
                                            lep3::recording::RecordingWriter::Compression::deflate);
    std::vector<uint16_t> raw(lep3::recording::kPixels);
    for (uint32_t page = 1; page <= kPages; ++page) {
        lep3::sim::BridgeSim::raw_frame(page, raw.data());
        if (page > 10 && page <= 20)
            for (uint32_t y = 50; y < 70; ++y)
                std::fill_n(raw.begin() + y * lep3::recording::kWidth + 70, 20, kHot);
        lep3::recording::PageInfo info;
        info.frame_number = page;
        info.host_time_us = 1700000000000000 + int64_t{page} * 50000;
        info.rbfo_set = "internal";
        writer.add(info, raw.data());
    }
    writer.finish();
    return file;
}

TEST_F(MqttTest, AlarmOnAReplayedRecordingIsRaisedAndClearedOnceAndCommandsAreAnsweredWhenAllowed)
{
#ifndef LEP3_HAVE_TIFF
    GTEST_SKIP() << "built without recordings";
#endif
    unplug();
    options_.replay = hot_recording(path("hot.tif"));
    plug();
    Subscriber sub(broker_port_, {"test/cam/#"});
    start_service({"--mqtt-topic", "test/cam", "--mqtt-commands", "--box", "hot=60,40,100,80", "--alarm", "hot>45C"});
    ASSERT_TRUE(eventually([&] { return sim().frames_sent() == 30; }, 20s));
    ASSERT_TRUE(eventually([&] { return sub.messages("/alarms").size() >= 2; }, 5s));
    std::this_thread::sleep_for(500ms);
    const auto alarms = sub.payloads("/alarms");
    ASSERT_EQ(alarms.size(), 2u);
    EXPECT_EQ(alarms[0].at("event"), "raised");
    EXPECT_EQ(alarms[1].at("event"), "cleared");
    EXPECT_EQ(alarms[0].at("rule"), "hot>45C");
    EXPECT_GT(alarms[0].at("value_c").get<double>(), 45);
    EXPECT_LT(alarms[1].at("value_c").get<double>(), 45);
    EXPECT_LT(alarms[0].at("frame").get<int>(), alarms[1].at("frame").get<int>());

    // Commands go through the HTTP API's checks and are answered on cmd/result.
    publish("test/cam/cmd/set/gain-mode", "7");
    publish("test/cam/cmd/set/agc", "1");
    publish("test/cam/cmd/regions", R"({"name": "door", "kind": "box", "x0": 1, "y0": 2, "x1": 30, "y1": 40})");
    ASSERT_TRUE(eventually([&] { return sub.messages("/cmd/result").size() == 3; }, 10s));
    const auto results = sub.payloads("/cmd/result");
    EXPECT_EQ(results[0].at("status"), 400);
    EXPECT_EQ(results[0].at("answer").at("error"), "7 is out of range for gain-mode: it takes 0 to 2");
    EXPECT_EQ(results[1].at("status"), 200);
    EXPECT_EQ(results[1].at("answer").at("value"), 1);
    EXPECT_EQ(results[2].at("status"), 201);
    EXPECT_EQ(get("/api/regions").at("regions").at(1).at("name"), "door");
}

TEST_F(MqttTest, BrokerAwayAndBackLosesNoFrameKeepsTheQueueBoundedAndMeasurementsResume)
{
    constexpr int kQueue = 8;
    start_service({"--mqtt-topic", "test/cam", "--mqtt-interval", "0.05", "--mqtt-queue", std::to_string(kQueue)});
    {
        Subscriber before(broker_port_, {"test/cam/measurements"});
        ASSERT_TRUE(eventually([&] { return before.messages().size() >= 3; }, 10s));
    }
    const json status_before = get("/api/status");
    broker_->send_signal(SIGTERM);
    broker_->finish(10s);
    std::this_thread::sleep_for(1500ms);
    // Measurements of frames up to this one waited in the queue, or were dropped.
    const int last_frame_away = get("/api/status").at("frame");
    start_broker();
    Subscriber after(broker_port_, {"test/cam/#"});
    ASSERT_TRUE(eventually(
        [&] {
            const auto m = after.payloads("/measurements");
            return m.size() >= 5 && m.back().at("frame").get<int>() > last_frame_away;
        },
        20s))
        << viewer_->output();
    int held = 0;
    for (const json &m : after.payloads("/measurements"))
        held += m.at("frame").get<int>() <= last_frame_away ? 1 : 0;
    EXPECT_LE(held, kQueue);
    EXPECT_EQ(after.messages("/state").front().payload, "online");
    EXPECT_NE(viewer_->output().find("connected again to the MQTT broker"), std::string::npos);

    const json status_after = get("/api/status");
    EXPECT_EQ(status_after.at("dropped"), status_before.at("dropped"));
    EXPECT_EQ(status_after.at("link"), "up");
}

} // namespace
