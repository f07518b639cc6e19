// The bootloader transfer against a bootloader whose every answer comes from the input.
// A pseudo-terminal stands in for the bootloader's device; a responder thread answers
// each command (and each silent poll) with the next piece of the input and hangs up when
// the input is used up. The transfer's pauses are skipped. Whatever the answers, the
// transfer must end with 0 or -1, never read or write outside its buffers, and leave no
// descriptor open.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "update/update_internal.h"

namespace {

void no_pause(std::chrono::milliseconds) {}

std::string make_device_dir()
{
    char dir_template[] = "/tmp/lep3-fuzz-boot-XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (dir == nullptr)
        std::abort();
    std::freopen("/dev/null", "w", stdout);
    lep3::update::set_transfer_pause(no_pause);
    const std::string boot = std::string(dir) + "/boot";
    LEP3_SetPath(LEP3_PATH_UART_ALT, boot.c_str());
    LEP3_SetPath(LEP3_PATH_UART, boot.c_str());
    return boot;
}

int open_descriptors()
{
    int n = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// Answers from the script: before each answer one byte gives its length (1..8). When the
// script is used up the bootloader hangs up, so the host's next read fails at once.
void respond(int master, const std::vector<uint8_t> &script)
{
    size_t at = 0;
    uint8_t discard[256];
    while (at < script.size()) {
        pollfd pfd{master, POLLIN, 0};
        if (poll(&pfd, 1, 1) > 0 && (pfd.revents & POLLIN) && read(master, discard, sizeof discard) <= 0)
            break;
        const size_t length = 1 + script[at++] % 8;
        const size_t n = std::min(length, script.size() - at);
        if (n == 0)
            break;
        if (write(master, script.data() + at, n) < 0)
            break;
        at += n;
    }
    close(master);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string boot = make_device_dir();
    if (size < 2)
        return 0;
    // The first byte sizes the image (1..256 bytes, so both full and short blocks occur);
    // the rest is the bootloader's script.
    std::vector<uint8_t> image(1 + data[0]);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 37);
    const std::vector<uint8_t> script(data + 1, data + size);

    const int before = open_descriptors();
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        std::abort();
    termios raw{};
    const char *slave_name = ptsname(master);
    const int slave = open(slave_name, O_RDWR | O_NOCTTY);
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    unlink(boot.c_str());
    if (symlink(slave_name, boot.c_str()) != 0)
        std::abort();

    std::thread responder(respond, master, std::cref(script));
    const int result = send_update_file(image.data(), static_cast<uint32_t>(image.size()));
    responder.join();
    close(slave);
    unlink(boot.c_str());

    if (result != 0 && result != -1)
        std::abort();
    if (open_descriptors() != before)
        std::abort(); // a descriptor was left open
    return 0;
}
