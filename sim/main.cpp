// lep3-bridge-sim: the bridge emulator as a program, for trying the library and its tools
// without hardware. It publishes the bridge's serial device as a symlink, serves it
// until SIGINT or SIGTERM, and removes its symlinks on the way out. SIGUSR1 pulls and
// re-plugs its cable, for trying what a host does when the bridge goes away.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>

#include "lep3.h"
#include "sim/bridge_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

// The loop wakes this often for the timed unplug and re-plug, and reports once a second.
constexpr long kTickNs = 100'000'000;
constexpr auto kReportInterval = std::chrono::seconds(1);

Clock::duration seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

void usage(FILE *to)
{
    (void)std::fputs("Usage: lep3-bridge-sim [options]\n"
                     "Emulates the camera bridge (application firmware, camera core and bootloader)\n"
                     "on a pseudo-terminal, published as a symlink the library can open like the\n"
                     "real device.\n"
                     "\n"
                     "  --path PATH         application device symlink (default /tmp/lep3-sim/ttyACM0)\n"
                     "  --boot-path PATH    bootloader device symlink (default: PATH.boot)\n"
                     "  --fps RATE          video frame rate, 0 = as fast as the host reads\n"
                     "                      (default 8.7; with --replay, the recorded pace)\n"
                     "  --replay FILE       stream a recording made by 'lep3 record' instead of the\n"
                     "                      synthetic scene: its raw values exactly, at its recorded\n"
                     "                      pace\n"
                     "  --loop              with --replay, start over after the last frame\n"
                     "  --garbage           random bytes between packets\n"
                     "  --split             write every packet in random small pieces\n"
                     "  --corrupt-every N   flip one pixel byte in every N-th frame\n"
                     "  --silent            answer nothing and stream nothing\n"
                     "  --seed N            seed for garbage, split sizes and corruption (default 1)\n"
                     "  --exit-with-parent  stop when the process that started it ends\n"
                     "  --flash-size BYTES  flash size the bootloader reports (default 262144)\n"
                     "  --in-bootloader     start stranded in the bootloader (its device at the boot\n"
                     "                      path), as after an update that was cut off\n"
                     "  --image-dir DIR     look for update image files in DIR as well (repeatable)\n"
                     "  --unplug-after S    unplug the bridge S seconds after the start\n"
                     "  --replug-after S    plug it back S seconds after every unplug\n"
                     "  --version           show the library's version\n"
                     "  --help              show this text\n"
                     "\n"
                     "RGB video carries test marks: the pixel at every 40th column from column 13 and\n"
                     "every 10th row from row 4 has the sync bytes AA 55 as its red and green, so RGB\n"
                     "frames hold packet-like data; they show as small dots.\n"
                     "\n"
                     "After an update the bridge reports the version in the first line of the image\n"
                     "file whose body it received; that file is looked for in /tmp/mmcblk0 and the\n"
                     "--image-dir directories. Failing that, the first SAMG55;V<version> inside the\n"
                     "body counts; failing that, the old version stays.\n"
                     "\n"
                     "Unplug and re-plug: SIGUSR1 (kill -USR1 PID) pulls the cable when the bridge is\n"
                     "plugged and plugs it back when it is not. Unplugged, its device is closed and\n"
                     "the symlink removed: the host's reads see end-of-file and its writes fail.\n"
                     "Plugged back, a new device appears at the same path, as a bridge that was\n"
                     "powered off: not streaming, camera settings at their power-on values.\n"
                     "\n"
                     "Point the library at the device with LEP3_SetPath(LEP3_PATH_UART, PATH) (and the\n"
                     "bootloader's with LEP3_PATH_UART_ALT) before LEP3_Init.\n",
                     to);
}

bool parse_number(const char *text, double &out)
{
    char *end = nullptr;
    errno = 0;
    out = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && out >= 0;
}

const char *mode_text(lep3::sim::Mode m)
{
    switch (m) {
    case lep3::sim::Mode::app:
        return "application";
    case lep3::sim::Mode::bootloader:
        return "bootloader";
    case lep3::sim::Mode::gone:
        break;
    }
    return "restarting";
}

} // namespace

int main(int argc, char **argv)
{
    lep3::sim::Options options;
    options.path = "/tmp/lep3-sim/ttyACM0";
    options.verbose = true;
    lep3::sim::Faults faults;
    bool exit_with_parent = false;
    double unplug_after = -1;
    double replug_after = -1;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        double number = 0;
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (arg == "--version") {
            (void)std::printf("lep3-bridge-sim %s\n", LEP3_GetLibraryVersion());
            return 0;
        } else if (arg == "--garbage") {
            faults.garbage_between_packets = true;
        } else if (arg == "--split") {
            faults.split_writes = true;
        } else if (arg == "--loop") {
            options.replay_loop = true;
        } else if (arg == "--replay" && has_value) {
            options.replay = argv[++i];
        } else if (arg == "--silent") {
            faults.silent = true;
        } else if (arg == "--in-bootloader") {
            options.in_bootloader = true;
        } else if (arg == "--exit-with-parent") {
            exit_with_parent = true;
        } else if (arg == "--path" && has_value) {
            options.path = argv[++i];
        } else if (arg == "--image-dir" && has_value) {
            options.image_paths.emplace_back(argv[++i]);
        } else if (arg == "--boot-path" && has_value) {
            options.boot_path = argv[++i];
        } else if (arg == "--fps" && has_value && parse_number(argv[i + 1], number)) {
            options.fps = number;
            options.replay_at_fps = true;
            ++i;
        } else if (arg == "--corrupt-every" && has_value && parse_number(argv[i + 1], number)) {
            faults.corrupt_frame_every = static_cast<uint32_t>(number);
            ++i;
        } else if (arg == "--seed" && has_value && parse_number(argv[i + 1], number)) {
            options.seed = static_cast<uint32_t>(number);
            ++i;
        } else if (arg == "--flash-size" && has_value && parse_number(argv[i + 1], number)) {
            options.flash_size = static_cast<uint32_t>(number);
            ++i;
        } else if (arg == "--unplug-after" && has_value && parse_number(argv[i + 1], number)) {
            unplug_after = number;
            ++i;
        } else if (arg == "--replug-after" && has_value && parse_number(argv[i + 1], number)) {
            replug_after = number;
            ++i;
        } else {
            (void)std::fprintf(stderr, "lep3-bridge-sim: bad option or value: %s\n\n", arg.c_str());
            usage(stderr);
            return 2;
        }
    }

    if (options.replay_loop && options.replay.empty()) {
        (void)std::fprintf(stderr, "lep3-bridge-sim: --loop goes with --replay FILE\n\n");
        usage(stderr);
        return 2;
    }

    // The signals are taken with sigtimedwait below; block them before the emulator's
    // threads start so that they inherit the mask.
    sigset_t taken_signals;
    sigemptyset(&taken_signals);
    sigaddset(&taken_signals, SIGINT);
    sigaddset(&taken_signals, SIGTERM);
    sigaddset(&taken_signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &taken_signals, nullptr);
    // A program that starts the emulator for itself (the GStreamer element does) may end
    // without stopping it; the emulator then notices, within a tick, that it was re-parented.
    const pid_t parent = getppid();

    try {
        lep3::sim::BridgeSim sim(options);
        sim.set_faults(faults);
        (void)std::printf("bridge emulator running; stop with Ctrl-C\n");
        (void)std::fflush(stdout);

        uint64_t frames_before = sim.frames_sent();
        size_t requests_before = 0;
        const auto start = Clock::now();
        auto last_report = start;
        constexpr Clock::time_point kNever = Clock::time_point::max();
        Clock::time_point unplug_at = unplug_after >= 0 ? start + seconds(unplug_after) : kNever;
        Clock::time_point replug_at = kNever;
        const timespec tick{0, kTickNs};
        for (;;) {
            const int sig = sigtimedwait(&taken_signals, nullptr, &tick);
            if (sig == SIGINT || sig == SIGTERM) {
                (void)std::printf("\n%s: stopping\n", strsignal(sig));
                break;
            }
            if (exit_with_parent && getppid() != parent) {
                (void)std::printf("the process that started the emulator has ended: stopping\n");
                break;
            }
            const auto now = Clock::now();
            const bool toggle = sig == SIGUSR1;
            if ((toggle && sim.plugged()) || now >= unplug_at) {
                unplug_at = kNever;
                sim.unplug();
                if (replug_after >= 0)
                    replug_at = Clock::now() + seconds(replug_after);
            } else if ((toggle && !sim.plugged()) || now >= replug_at) {
                replug_at = kNever;
                sim.replug();
            }
            if (now - last_report < kReportInterval)
                continue;
            last_report = now;
            const uint64_t frames = sim.frames_sent();
            const size_t requests = sim.requests().size();
            if (frames != frames_before || requests != requests_before) {
                (void)std::printf("%s: %zu requests served, %llu frames sent, %llu frames/s\n", mode_text(sim.mode()),
                                  requests, static_cast<unsigned long long>(frames),
                                  static_cast<unsigned long long>(frames - frames_before));
                (void)std::fflush(stdout);
            }
            frames_before = frames;
            requests_before = requests;
        }
    } catch (const std::exception &e) {
        (void)std::fprintf(stderr, "lep3-bridge-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
