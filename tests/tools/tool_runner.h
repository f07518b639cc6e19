// Runs the built lep3 tool as a user would: its own process, arguments, standard output
// and standard error captured separately, exit status, and signals sent on cue.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace lep3::test {

struct ToolResult {
    int status = -1; // exit status, or 128 + signal when a signal ended it
    std::string out; // standard output: the tool's results
    std::string err; // standard error: diagnostics and library messages
};

class ToolProcess {
  public:
    // Starts LEP3_TOOL_PATH with args in working directory dir (empty: the current one).
    explicit ToolProcess(const std::vector<std::string> &args, const std::string &dir = "");
    ~ToolProcess();
    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;

    // Reads output until standard output contains text; false at timeout or end of output.
    bool wait_for_output(const std::string &text, std::chrono::milliseconds timeout);
    void send_signal(int signo);
    // Reads the rest of the output and reaps the process; kills it after timeout.
    ToolResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(60));

  private:
    bool pump(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    ToolResult result_;
};

ToolResult run_tool(const std::vector<std::string> &args, const std::string &dir = "");

} // namespace lep3::test
