// lep3 serve as systemd runs it: in a session of its own with no terminal (setsid), its
// log in the journal's form, and a notification socket made by the test standing in for
// systemd's. The emulator in the test is unplugged and plugged in again.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "serve/loopback_client.h"
#include "serve/view_fixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

// systemd's end of sd_notify: a datagram socket whose messages a thread of its own takes
// at once, as systemd does (the kernel queues only a few datagrams, and a sender whose
// datagram finds the queue full waits), each kept with its time.
class NotifySocket {
  public:
    struct Message {
        Clock::time_point at;
        std::string text;
    };

    explicit NotifySocket(std::string path) : path_(std::move(path))
    {
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        path_.copy(at.sun_path, sizeof at.sun_path - 1);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0)
            throw std::runtime_error("cannot bind the notification socket " + path_);
        receiver_ = std::thread([this] { receive(); });
    }
    ~NotifySocket()
    {
        stop_ = true;
        receiver_.join();
        close(fd_);
        unlink(path_.c_str());
    }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    const std::string &path() const { return path_; }

    // Waits for a message not looked at before that holds the assignment (a line starting
    // with it); the message, or nothing after the limit.
    std::optional<Message> wait_for(const std::string &assignment, std::chrono::milliseconds limit)
    {
        std::optional<Message> found;
        lep3::test::eventually(
            [&] {
                const std::lock_guard lock(mutex_);
                for (; !found && next_ < messages_.size(); ++next_)
                    if (("\n" + messages_[next_].text).find("\n" + assignment) != std::string::npos)
                        found = messages_[next_];
                return found.has_value();
            },
            limit);
        return found;
    }
    // The watchdog's pings that arrive in the next span.
    int pings_during(std::chrono::milliseconds span)
    {
        std::this_thread::sleep_for(span);
        const std::lock_guard lock(mutex_);
        int pings = 0;
        for (; next_ < messages_.size(); ++next_)
            pings += messages_[next_].text == "WATCHDOG=1" ? 1 : 0;
        return pings;
    }

  private:
    void receive()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) != 1)
                continue;
            char buffer[4096];
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            const std::lock_guard lock(mutex_);
            if (n > 0)
                messages_.push_back({Clock::now(), std::string(buffer, size_t(n))});
        }
    }

    std::string path_;
    int fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::mutex mutex_;
    std::vector<Message> messages_;
    size_t next_ = 0; // the first message not looked at
    std::atomic<bool> stop_{false};
    std::thread receiver_;
};

// The watchdog interval the test's systemd asks for: a ping every 150 ms.
constexpr const char *kWatchdogUsec = "300000";

class ServiceTest : public lep3::test::ViewTest {
  protected:
    void SetUp() override
    {
        if (access("/usr/bin/setsid", X_OK) != 0)
            GTEST_SKIP() << "no setsid";
        options_.fps = 30;
        ViewTest::SetUp();
        notify_ = std::make_unique<NotifySocket>(path("notify"));
    }

    // Starts lep3 serve as systemd would, and waits for the address of its viewer.
    void start_service(std::vector<std::string> options)
    {
        // WATCHDOG_PID is the shell's, which setsid replaces without a fork.
        const std::string environment = "NOTIFY_SOCKET=" + notify_->path() + " WATCHDOG_USEC=" + kWatchdogUsec +
                                        " WATCHDOG_PID=$$ exec /usr/bin/setsid \"$@\"";
        std::vector<std::string> args = {"serve", "--device", options_.path, "--port", "0", "--journal"};
        args.insert(args.end(), options.begin(), options.end());
        viewer_ = std::make_unique<lep3::test::ToolProcess>(
            args, std::vector<std::string>{"/bin/sh", "-c", environment, "sh"});
        std::optional<std::vector<std::string>> found;
        ASSERT_TRUE(lep3::test::eventually(
            [&] {
                found = lep3::test::search(viewer_->error_output(), "viewer is at http://[^:]*:([0-9]+)/");
                return found.has_value();
            },
            20s))
            << viewer_->error_output();
        port_ = std::stoi((*found)[1]);
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_read_timeout(20, 0);
    }

    json status()
    {
        const auto r = http().Get("/api/status");
        if (!r)
            throw std::runtime_error("the service does not answer");
        return json::parse(r->body);
    }
    bool wait_for_link(const char *state)
    {
        return lep3::test::eventually([&] { return status().at("link") == state; }, 20s);
    }

    // SIGTERM ends the service within a second, cleanly, having said it stops; its log is
    // one line a message, each with its priority.
    void expect_clean_stop()
    {
        const auto asked = Clock::now();
        viewer_->send_signal(SIGTERM);
        const auto r = viewer_->finish(20s);
        viewer_.reset();
        EXPECT_LT(Clock::now() - asked, 1s);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(notify_->wait_for("STOPPING=1", 1s));
        std::istringstream lines(r.err);
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(lep3::test::search(line, "^<[0-7]>[^<]")) << line;
    }

    std::unique_ptr<NotifySocket> notify_;
};

TEST_F(ServiceTest, ReadyAfterTheFirstFramePingsWhileFramesFlowAndStopsPingingAfterTheGrace)
{
    start_service({"--watchdog-grace", "1"});
    EXPECT_TRUE(notify_->wait_for("STATUS=waiting for the first frame from " + options_.path, 20s));
    ASSERT_TRUE(notify_->wait_for("READY=1", 20s));
    EXPECT_GE(notify_->pings_during(1s), 3);

    unplug();
    ASSERT_TRUE(notify_->wait_for("STATUS=the bridge at " + options_.path + " is gone since", 10s));
    // Once the grace is over the pings stop, and stay stopped.
    const auto stopped = notify_->wait_for("STATUS=the bridge at", 10s);
    ASSERT_TRUE(stopped);
    EXPECT_NE(stopped->text.find("the watchdog's pings have stopped"), std::string::npos) << stopped->text;
    EXPECT_EQ(notify_->pings_during(1s), 0);

    plug();
    ASSERT_TRUE(notify_->wait_for("STATUS=streaming", 20s));
    EXPECT_GE(notify_->pings_during(1s), 3);
    expect_clean_stop();
}

// AddressSanitizer holds freed memory back in quarantine: resident memory grows with
// every allocation there, leak or not.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kFreedMemoryIsReused = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kFreedMemoryIsReused = false;
#else
constexpr bool kFreedMemoryIsReused = true;
#endif
#else
constexpr bool kFreedMemoryIsReused = true;
#endif

// The file descriptors the process holds.
size_t open_files(pid_t pid)
{
    size_t n = 0;
    for ([[maybe_unused]] const auto &entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        ++n;
    return n;
}

// Its resident memory in KiB.
long resident_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// A browser that follows the picture and goes away mid-stream, resetting the connection.
void browser_leaves_mid_stream(int port)
{
    lep3::test::LoopbackClient browser(port);
    const std::string request = "GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(browser.send(request), request.size());
    EXPECT_FALSE(browser.receive(1).empty());
    browser.reset();
}

TEST_F(ServiceTest, TwentyUnplugsAndHangUpsLeaveItStreamingFreshFramesWithoutALeak)
{
    start_service({"--config", path("absent.conf")});
    ASSERT_TRUE(notify_->wait_for("READY=1", 20s));
    EXPECT_NE(
        viewer_->error_output().find("<5>no configuration file at " + path("absent.conf") + ": the defaults hold"),
        std::string::npos);
    constexpr int kCycles = 20;
    constexpr int kWarmUp = 2;
    constexpr long kRssSlackKib = 4096;
    const pid_t pid = viewer_->pid();
    // The port may hang up on the service too, where it became its terminal.
    auto hangups_logged = [&] {
        const std::string log = viewer_->error_output();
        int n = 0;
        for (size_t at = log.find("SIGHUP ignored"); at != std::string::npos; at = log.find("SIGHUP ignored", at + 1))
            ++n;
        return n;
    };
    size_t files = 0;
    long rss = 0;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE(cycle);
        browser_leaves_mid_stream(port_);
        const json before = status();
        unplug();
        ASSERT_TRUE(wait_for_link("gone"));
        // Each hang-up is taken on its own (two close together may arrive as one).
        viewer_->send_signal(SIGHUP);
        ASSERT_TRUE(lep3::test::eventually([&] { return hangups_logged() > cycle; }, 10s));
        plug();
        // Fresh frames from the bridge that came back, not the last one from before.
        ASSERT_TRUE(wait_for_frames(before.at("frames").get<int>() + 3));
        const json after = status();
        EXPECT_EQ(after.at("link"), "up");
        EXPECT_NE(after.at("frame"), before.at("frame"));
        if (cycle == kWarmUp) {
            files = open_files(pid);
            rss = resident_kib(pid);
        }
    }
    EXPECT_EQ(kill(pid, 0), 0) << "the service died";
    EXPECT_EQ(status().at("reconnects"), kCycles);
    // Connections the server has yet to close (a client's kept-alive one) may hold one
    // more for a moment.
    EXPECT_TRUE(lep3::test::eventually([&] { return open_files(pid) <= files; }, 5s)) << open_files(pid);
    if (kFreedMemoryIsReused) {
        EXPECT_LE(resident_kib(pid), rss + kRssSlackKib);
    }
    expect_clean_stop();
}

} // namespace
