#include "tools/saved_rbfo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

namespace lep3tool {

namespace {

constexpr char kFileName[] = "user-rbfo";

std::string env(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

std::string state_directory()
{
    if (const std::string systemd = env("STATE_DIRECTORY"); !systemd.empty())
        return systemd.substr(0, systemd.find(':'));
    if (const std::string xdg = env("XDG_STATE_HOME"); !xdg.empty())
        return xdg + "/lep3";
    return env("HOME") + "/.local/state/lep3";
}

bool save_user_rbfo(const lep3_rbfo_t &rbfo, std::string &why)
{
    const std::string dir = state_directory();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        why = "can't create " + dir + ": " + ec.message();
        return false;
    }
    // A new file under an unpredictable name, never through a link, then renamed in place.
    const std::string final_name = dir + "/" + kFileName;
    const std::string temp = final_name + "." + std::to_string(std::random_device{}()) + ".part";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        why = "can't create " + temp + ": " + std::strerror(errno);
        return false;
    }
    char text[96];
    const int n = std::snprintf(text, sizeof text, "%" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32 "\n", rbfo.r, rbfo.b,
                                rbfo.f, rbfo.o);
    const bool written = write(fd, text, static_cast<size_t>(n)) == n;
    const bool closed = close(fd) == 0;
    if (!written || !closed || std::rename(temp.c_str(), final_name.c_str()) != 0) {
        why = "can't write " + final_name + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

std::optional<lep3_rbfo_t> saved_user_rbfo()
{
    std::ifstream in(state_directory() + "/" + kFileName);
    lep3_rbfo_t rbfo{};
    if (!(in >> rbfo.r >> rbfo.b >> rbfo.f >> rbfo.o))
        return std::nullopt;
    return rbfo;
}

} // namespace lep3tool
