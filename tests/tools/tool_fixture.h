// What the tool's tests share: a private working directory, the built tool run in a
// process of its own, and a PNG decoder that reads what any image viewer would.
#pragma once

#include <gtest/gtest.h>
#include <png.h>
#include <regex.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/bridge_sim.h"
#include "support/eventually.h"

namespace lep3::test {

class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "lep3-tool-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        // What the tool keeps between runs stays in the test's directory.
        unsetenv("STATE_DIRECTORY");
        setenv("XDG_STATE_HOME", path("state").c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const std::string &name) const { return (std::filesystem::path(dir_) / name).string(); }

    std::string dir_;
};

// A bridge emulator in the test's process, published in the test's directory at paths of
// its own choosing; the tool reaches it with --device (and --boot-device). Taking it away
// and creating it again at the same path is an unplug and a re-plug.
class BridgeTest : public ToolTest {
  protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        options_.path = path("bridge");
        options_.boot_path = path("bridge-loader");
        plug();
    }
    void TearDown() override
    {
        sim_.reset();
        ToolTest::TearDown();
    }
    void plug() { sim_ = std::make_unique<lep3::sim::BridgeSim>(options_); }
    void unplug() { sim_.reset(); }
    lep3::sim::BridgeSim &sim() { return *sim_; }
    const std::string &device() const { return options_.path; }

    lep3::sim::Options options_;
    std::unique_ptr<lep3::sim::BridgeSim> sim_;
};

struct ToolResult {
    int status = -1; // exit status, or 128 + signal when a signal ended it
    std::string out, err;
};

// LEP3_TOOL_PATH with its standard output and error in memory files, so nothing the
// tool writes can block it while the test waits.
class ToolProcess {
  public:
    // launcher: a program that runs the tool, with its own arguments before the tool's
    // path (setpriv, to run it as another user), or nothing.
    explicit ToolProcess(const std::vector<std::string> &args, const std::vector<std::string> &launcher = {})
    {
        std::vector<std::string> strings = launcher;
        strings.push_back(LEP3_TOOL_PATH);
        strings.insert(strings.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : strings)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds_[0], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fds_[1], STDERR_FILENO);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            throw std::runtime_error("cannot start " LEP3_TOOL_PATH);
    }
    ~ToolProcess()
    {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
        close(fds_[0]);
        close(fds_[1]);
    }
    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;

    // Waits for text on standard output, found at or after offset; its position, or npos.
    size_t wait_for_output(const std::string &text, std::chrono::milliseconds timeout, size_t offset = 0)
    {
        size_t at = std::string::npos;
        eventually([&] { return (at = read(fds_[0]).find(text, offset)) != std::string::npos; }, timeout);
        return at;
    }
    void send_signal(int signo) { kill(pid_, signo); }
    pid_t pid() const { return pid_; }
    // What the process wrote to its standard output, and to its standard error, so far.
    std::string output() const { return read(fds_[0]); }
    std::string error_output() const { return read(fds_[1]); }
    // Reaps the process, killing it after timeout.
    ToolResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        int status = 0;
        for (const auto end = std::chrono::steady_clock::now() + timeout; waitpid(pid_, &status, WNOHANG) == 0;
             std::this_thread::sleep_for(std::chrono::milliseconds(10)))
            if (std::chrono::steady_clock::now() > end)
                kill(pid_, SIGKILL);
        pid_ = -1;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read(fds_[0]), read(fds_[1])};
    }

  private:
    static std::string read(int fd)
    {
        std::string s(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
        return s.substr(0, static_cast<size_t>(std::max<ssize_t>(0, pread(fd, s.data(), s.size(), 0))));
    }

    int fds_[2] = {memfd_create("out", MFD_CLOEXEC), memfd_create("err", MFD_CLOEXEC)};
    pid_t pid_ = -1;
};

inline ToolResult run_tool(const std::vector<std::string> &args)
{
    return ToolProcess(args).finish();
}

// One line on standard error, in the tool's form, and no crash.
inline void expect_clean_failure(const ToolResult &r, const std::string &needle)
{
    EXPECT_NE(r.status, 0);
    EXPECT_LT(r.status, 128) << "ended by a signal";
    EXPECT_NE(r.err.find("lep3: error: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(needle), std::string::npos) << r.err;
}

// The first match of a POSIX extended regular expression in text: the whole match and
// its groups, or nothing.
inline std::optional<std::vector<std::string>> search(const std::string &text, const char *pattern)
{
    regex_t re;
    if (regcomp(&re, pattern, REG_EXTENDED) != 0)
        throw std::invalid_argument(std::string("bad pattern ") + pattern);
    std::vector<regmatch_t> m(re.re_nsub + 1);
    std::optional<std::vector<std::string>> found;
    if (regexec(&re, text.c_str(), m.size(), m.data(), 0) == 0) {
        found.emplace();
        for (const auto &g : m)
            found->push_back(g.rm_so < 0 ? "" : text.substr(size_t(g.rm_so), size_t(g.rm_eo - g.rm_so)));
    }
    regfree(&re);
    return found;
}

struct DecodedPng {
    uint32_t width = 0, height = 0;
    int bit_depth = 0, colour_type = 0;
    int significant_bits = 0;        // of a grey sample, from sBIT; 0 without one
    std::vector<uint16_t> samples{}; // every sample in row order, 16-bit ones in host order
    std::map<std::string, std::string> text{};
};

// libpng reports errors by longjmp; nothing with a destructor lives in this frame.
inline bool decode_png(png_structp png, png_infop info, FILE *file)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_init_io(png, file);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    return true;
}

// Throws std::runtime_error when the file is missing or not a valid PNG.
inline DecodedPng read_png(const std::string &path)
{
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        throw std::runtime_error("cannot open " + path);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    const bool ok = decode_png(png, info, file);
    (void)std::fclose(file);
    DecodedPng out{png_get_image_width(png, info), png_get_image_height(png, info), png_get_bit_depth(png, info),
                   png_get_color_type(png, info)};
    png_color_8p significant = nullptr;
    if (ok && png_get_sBIT(png, info, &significant) != 0)
        out.significant_bits = significant->gray;
    png_textp text = nullptr;
    for (int i = 0, count = ok ? png_get_text(png, info, &text, nullptr) : 0; i < count; ++i)
        out.text[text[i].key] = std::string(text[i].text, text[i].text_length);
    const png_bytepp rows = ok ? png_get_rows(png, info) : nullptr;
    for (uint32_t y = 0; rows != nullptr && y < out.height; ++y) // PNG's 16-bit samples: high byte first
        for (size_t i = 0; i < png_get_rowbytes(png, info); i += out.bit_depth == 16 ? 2 : 1)
            out.samples.push_back(out.bit_depth == 16 ? uint16_t(rows[y][i] << 8 | rows[y][i + 1]) : rows[y][i]);
    png_destroy_read_struct(&png, &info, nullptr);
    if (!ok)
        throw std::runtime_error(path + " is not a valid PNG file");
    return out;
}

} // namespace lep3::test
