// lep3 view against the emulator: the emulator runs in the test, where it can be unplugged
// and plugged in again, and the viewer in a process of its own, reached over HTTP as a
// browser or a script would reach it.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/bridge_sim.h"
#include "tools/tool_fixture.h"

namespace lep3::test {

// Another program from PATH (a broker, a client, a decoder), started in place of the tool
// by a shell that drops the tool's path; its standard output and error in memory.
inline std::unique_ptr<ToolProcess> start_program(const std::vector<std::string> &args)
{
    return std::make_unique<ToolProcess>(args, std::vector<std::string>{"/bin/sh", "-c", "shift; exec \"$@\"", "sh"});
}

inline bool installed(const std::string &program)
{
    return start_program({"sh", "-c", "command -v \"$0\"", program})->finish().status == 0;
}

class ViewTest : public ToolTest {
  protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        options_.path = path("ttyACM0");
        options_.boot_path = path("ttyACM1");
        plug();
    }
    void TearDown() override
    {
        viewer_.reset();
        sim_.reset();
        ToolTest::TearDown();
    }

    void plug() { sim_ = std::make_unique<sim::BridgeSim>(options_); }
    void unplug() { sim_.reset(); }
    sim::BridgeSim &sim() { return *sim_; }

    // Starts lep3 view on the emulator and waits for the address it prints.
    void start_viewer(std::vector<std::string> options = {})
    {
        std::vector<std::string> args = {"view", "--device", options_.path, "--port", "0"};
        args.insert(args.end(), options.begin(), options.end());
        viewer_ = std::make_unique<ToolProcess>(args);
        // The line with the address ends with the way to stop.
        ASSERT_TRUE(viewer_->wait_for_output("to stop)", std::chrono::seconds(20))) << "no address printed";
        const auto found = search(viewer_->output(), "http://[^ ]*:([0-9]+)/(\\?token=([0-9a-f]+))?");
        ASSERT_TRUE(found) << viewer_->output();
        port_ = std::stoi((*found)[1]);
        token_ = (*found)[3];
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_read_timeout(20, 0);
    }

    httplib::Client &http() { return *client_; }

    // Waits until the viewer has a frame; false after the limit.
    bool wait_for_frames(int at_least = 1, std::chrono::seconds limit = std::chrono::seconds(20))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            const auto r = http().Get(token_.empty() ? "/api/status" : "/api/status?token=" + token_);
            if (r && r->status == 200 && nlohmann::json::parse(r->body).at("frames").get<int>() >= at_least)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // A PNG answer decoded as any viewer would decode it.
    DecodedPng decode(const std::string &body)
    {
        const std::string file = path("answer.png");
        std::ofstream(file, std::ios::binary) << body;
        return read_png(file);
    }

    ToolResult stop_viewer(int signo)
    {
        viewer_->send_signal(signo);
        ToolResult r = viewer_->finish(std::chrono::seconds(20));
        viewer_.reset();
        return r;
    }

    sim::Options options_;
    std::unique_ptr<sim::BridgeSim> sim_;
    std::unique_ptr<ToolProcess> viewer_;
    std::unique_ptr<httplib::Client> client_;
    int port_ = 0;
    std::string token_;
};

} // namespace lep3::test
