#include "gstreamer/emulator_process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <glib.h>

extern char **environ;

namespace lep3gst {

namespace {

constexpr const char *kExecutable = "lep3-bridge-sim";
constexpr auto kStartLimit = std::chrono::seconds(5);
constexpr auto kStopLimit = std::chrono::seconds(2);
constexpr auto kPoll = std::chrono::milliseconds(10);

bool is_executable(const std::string &path)
{
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The directory of the file this code was loaded from: the plugin.
std::string plugin_directory()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&find_emulator), &info) == 0 || info.dli_fname == nullptr)
        return {};
    return std::filesystem::path(info.dli_fname).parent_path().string();
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// Reaps the child if it has ended; true when it has (or is no child of ours any more).
bool reaped(pid_t pid, int *status)
{
    const pid_t r = waitpid(pid, status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
}

// Lets the child run in its own process group (a terminal's Ctrl-C reaches the pipeline,
// which then stops the emulator in order), with default signal handling, no inherited
// descriptors beyond the three standard ones, and its output in a log file.
bool spawn(const std::vector<std::string> &args, const std::string &log_path, pid_t *pid, int *error)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    *error = posix_spawn(pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return *error == 0;
}

void stop_child(pid_t pid)
{
    int status = 0;
    if (reaped(pid, &status))
        return;
    kill(pid, SIGTERM);
    const auto limit = std::chrono::steady_clock::now() + kStopLimit;
    while (std::chrono::steady_clock::now() < limit) {
        if (reaped(pid, &status))
            return;
        std::this_thread::sleep_for(kPoll);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
}

} // namespace

std::string find_emulator()
{
    if (const char *env = std::getenv("LEP3_SIM"); env != nullptr && *env != '\0')
        return is_executable(env) ? std::string(env) : std::string();
    if (const std::string dir = plugin_directory(); !dir.empty() && is_executable(dir + "/" + kExecutable))
        return dir + "/" + kExecutable;
    if (is_executable(LEP3_SIM_INSTALLED))
        return LEP3_SIM_INSTALLED;
    gchar *found = g_find_program_in_path(kExecutable);
    std::string path = found != nullptr ? found : "";
    g_free(found);
    return path;
}

EmulatorProcess::EmulatorProcess(pid_t pid, std::string dir, std::string device)
    : pid_(pid), dir_(std::move(dir)), device_(std::move(device))
{
}

std::unique_ptr<EmulatorProcess> EmulatorProcess::start(std::string *why)
{
    const std::string exe = find_emulator();
    if (exe.empty()) {
        const char *env = std::getenv("LEP3_SIM");
        *why = env != nullptr && *env != '\0'
                   ? std::string("LEP3_SIM names ") + env + ", which is not an executable file"
                   : std::string("the emulator executable ") + kExecutable +
                         " is neither next to the plugin, nor in " LEP3_SIM_INSTALLED ", nor on PATH (set LEP3_SIM)";
        return nullptr;
    }

    GError *error = nullptr;
    gchar *made = g_dir_make_tmp("lep3src-XXXXXX", &error);
    if (made == nullptr) {
        *why = std::string("cannot create a directory for the emulator: ") + error->message;
        g_error_free(error);
        return nullptr;
    }
    const std::string dir = made;
    g_free(made);
    const std::string device = dir + "/ttyACM0";
    const std::string log = dir + "/emulator.log";

    pid_t pid = -1;
    int spawn_error = 0;
    if (!spawn({exe, "--path", device, "--boot-path", dir + "/ttyACM1", "--exit-with-parent"}, log, &pid,
               &spawn_error)) {
        *why = "cannot run " + exe + ": " + std::strerror(spawn_error);
        std::filesystem::remove_all(dir);
        return nullptr;
    }

    // The emulator publishes its device as a symlink once the pseudo-terminal is ready.
    const auto limit = std::chrono::steady_clock::now() + kStartLimit;
    for (;;) {
        struct stat st;
        if (stat(device.c_str(), &st) == 0) {
            // The log only explains a failed start; the emulator keeps writing to the
            // unlinked file, and a host killed outright leaves no more than an empty directory.
            unlink(log.c_str());
            return std::unique_ptr<EmulatorProcess>(new EmulatorProcess(pid, dir, device));
        }
        int status = 0;
        if (reaped(pid, &status)) {
            const std::string said = read_file(log);
            *why = exe + " ended before it published a device" + (said.empty() ? "" : ": " + said);
            std::filesystem::remove_all(dir);
            return nullptr;
        }
        if (std::chrono::steady_clock::now() >= limit) {
            stop_child(pid);
            *why = exe + " published no device within 5 s";
            std::filesystem::remove_all(dir);
            return nullptr;
        }
        std::this_thread::sleep_for(kPoll);
    }
}

EmulatorProcess::~EmulatorProcess()
{
    stop_child(pid_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

} // namespace lep3gst
