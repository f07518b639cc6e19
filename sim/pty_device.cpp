#include "sim/pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace lep3::sim {

namespace {

constexpr int kWritePollMs = 20; // how often a blocked write looks at keep_going()

[[noreturn]] void fail(const char *what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// The emulator lives inside the host's process in the tests and the tool. It keeps off
// the standard descriptors 0 to 2, so a host that closed one of them still sees its own
// opens land there, as it would beside a real bridge.
constexpr int kFirstOwnDescriptor = 3;

int off_standard_descriptors(int fd)
{
    if (fd < 0 || fd >= kFirstOwnDescriptor)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, kFirstOwnDescriptor);
    ::close(fd);
    return moved;
}

} // namespace

PtyDevice::PtyDevice(std::string link) : link_(std::move(link))
{
    master_.reset(off_standard_descriptors(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)));
    if (!master_.valid())
        fail("posix_openpt");
    if (::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0)
        fail("grantpt/unlockpt");
    char name[128];
    if (::ptsname_r(master_.get(), name, sizeof name) != 0)
        fail("ptsname");
    slave_name_ = name;

    slave_.reset(off_standard_descriptors(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)));
    if (!slave_.valid())
        fail("open pty slave");
    termios tio{};
    if (::tcgetattr(slave_.get(), &tio) != 0)
        fail("tcgetattr");
    ::cfmakeraw(&tio);
    if (::tcsetattr(slave_.get(), TCSANOW, &tio) != 0)
        fail("tcsetattr");

    const int flags = ::fcntl(master_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        fail("fcntl O_NONBLOCK");

    const std::filesystem::path path(link_);
    std::error_code ec;
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path(), ec);
    std::filesystem::remove(path, ec);
    std::filesystem::create_symlink(slave_name_, path); // throws filesystem_error (a system_error)
}

PtyDevice::~PtyDevice()
{
    withdraw();
}

void PtyDevice::withdraw()
{
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(link_, ec);
    if (!ec && target == slave_name_)
        std::filesystem::remove(link_, ec);
}

bool PtyDevice::write_all(std::span<const uint8_t> bytes, const std::function<bool()> &keep_going) const
{
    while (!bytes.empty()) {
        if (!keep_going())
            return false;
        const ssize_t n = ::write(master_.get(), bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd pfd{master_.get(), POLLOUT, 0};
        ::poll(&pfd, 1, kWritePollMs);
    }
    return true;
}

} // namespace lep3::sim
