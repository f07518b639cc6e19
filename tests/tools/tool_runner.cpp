#include "tools/tool_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace lep3::test {

ToolProcess::ToolProcess(const std::vector<std::string> &args, const std::string &dir)
{
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    std::vector<std::string> argv_storage = {LEP3_TOOL_PATH};
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    argv.reserve(argv_storage.size() + 1);
    for (auto &a : argv_storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    if (!dir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    const int rc = posix_spawn(&pid_, LEP3_TOOL_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    if (rc != 0)
        throw std::runtime_error("cannot start " LEP3_TOOL_PATH);
}

ToolProcess::~ToolProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0)
        close(out_fd_);
    if (err_fd_ >= 0)
        close(err_fd_);
}

// Reads what is there within timeout; false once both pipes are at their end.
bool ToolProcess::pump(std::chrono::milliseconds timeout)
{
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    int open_fds = (out_fd_ >= 0) + (err_fd_ >= 0);
    if (open_fds == 0)
        return false;
    if (poll(fds, 2, static_cast<int>(timeout.count())) <= 0)
        return true;
    int *owners[2] = {&out_fd_, &err_fd_};
    std::string *sinks[2] = {&result_.out, &result_.err};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0)
            continue;
        char buf[4096];
        const ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
            sinks[i]->append(buf, static_cast<size_t>(n));
        } else {
            close(*owners[i]);
            *owners[i] = -1;
        }
    }
    return true;
}

bool ToolProcess::wait_for_output(const std::string &text, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (result_.out.find(text) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(left))
            return false;
    }
    return true;
}

void ToolProcess::send_signal(int signo)
{
    kill(pid_, signo);
}

ToolResult ToolProcess::finish(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid_, SIGKILL);
            break;
        }
        if (!pump(left))
            break;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result_;
}

ToolResult run_tool(const std::vector<std::string> &args, const std::string &dir)
{
    ToolProcess p(args, dir);
    return p.finish();
}

} // namespace lep3::test
