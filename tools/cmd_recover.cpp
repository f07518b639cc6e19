// lep3 recover: flashes a bridge that waits in its bootloader (an update that was killed
// or whose bootloader was not where it looked), without the application firmware's help,
// then opens the application again and gives it back its user RBFO set.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "hostkit/command_support.h"
#include "hostkit/command_thread.h"
#include "hostkit/console.h"
#include "hostkit/firmware_version.h"
#include "hostkit/library_messages.h"
#include "lep3.h"
#include "tools/commands.h"
#include "tools/saved_rbfo.h"

namespace lep3tool {

namespace {

namespace fs = std::filesystem;

constexpr OptionDef kOptions[] = {
    {"boot-device", 0, "PATH", "serial device of the bridge's bootloader (default: found, else /dev/ttyACM1)"},
};

// The application comes back within a few seconds of the bootloader's start command.
constexpr auto kApplicationWait = std::chrono::seconds(10);
constexpr auto kApplicationPoll = std::chrono::milliseconds(100);

bool exists(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// The bootloader's device: the one given; else, while the application's device is gone,
// the one device beside it of the same family (ttyACM1 beside a vanished ttyACM0); else
// the library's default.
std::string find_boot_device(const ParsedArgs &args, const std::string &application)
{
    if (auto given = args.value("boot-device")) {
        if (given->empty())
            throw UsageError("--boot-device needs a path");
        return *given;
    }
    if (!exists(application)) {
        const fs::path app(application);
        const std::string name = app.filename().string();
        const std::string family = name.substr(0, name.find_last_not_of("0123456789") + 1);
        std::string found;
        int count = 0;
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator(app.parent_path(), ec)) {
            const std::string other = entry.path().filename().string();
            if (other != name && other.rfind(family, 0) == 0) {
                found = entry.path().string();
                ++count;
            }
        }
        if (count == 1)
            return found;
    }
    return LEP3_GetPath(LEP3_PATH_UART_ALT);
}

int run_recover(const ParsedArgs &args)
{
    const auto &files = args.positionals();
    if (files.size() != 1)
        throw UsageError("recover takes the image file to flash");
    const std::string &image = files[0];
    SessionOptions options = session_options(args);
    if (options.sim)
        throw UsageError("recover flashes a bridge's bootloader; start the emulator in its own (--in-bootloader)");
    const uint32_t image_version = image_file_version(image);
    const std::string application = options.device.empty() ? LEP3_GetPath(LEP3_PATH_UART) : options.device;
    const std::string boot = find_boot_device(args, application);
    if (!exists(boot))
        throw std::runtime_error("no bootloader at " + boot + " (name its device with --boot-device)");
    if (LEP3_SetPath(LEP3_PATH_UART, application.c_str()) != 0 || LEP3_SetPath(LEP3_PATH_UART_ALT, boot.c_str()) != 0)
        throw UsageError("a device path is too long");

    print("flashing firmware %s through the bootloader at %s\n", version_text(image_version).c_str(), boot.c_str());
    flush_output();
    {
        HeldMessages held;
        const int result = LEP3_RecoverFirmware(image.c_str());
        if (result != 0) {
            const std::string reason = held.explained() ? held.reason() : "";
            held.discard();
            if (!reason.empty())
                error("%s", reason.c_str());
            else
                error("the bootloader at %s did not take the image (if it waits at another device, name it with "
                      "--boot-device)",
                      boot.c_str());
            return kExitFailure;
        }
        held.discard();
    }

    const auto until = std::chrono::steady_clock::now() + kApplicationWait;
    while (!exists(application) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(kApplicationPoll);
    options.device = application;
    Session session(options);
    if (const auto rbfo = saved_user_rbfo()) {
        if (awaiting_reply([&] { return LEP3_SetUserRBFO(rbfo->r, rbfo->b, rbfo->f, rbfo->o); }) == 0)
            print("the user RBFO parameters saved before were written back\n");
        else
            warning("the user RBFO parameters saved in %s could not be written back", state_directory().c_str());
    }
    uint32_t running = 0;
    if (awaiting_reply([&] { return LEP3_GetFirmwareVersion(&running); }) != 0) {
        warning("the bridge runs again, but its firmware version could not be read");
        return kExitOk;
    }
    print("recovered: the bridge at %s runs firmware %s\n", session.device().c_str(), version_text(running).c_str());
    return kExitOk;
}

} // namespace

const Command kRecoverCommand = {
    "recover",
    "[--boot-device PATH] FILE",
    "flash a bridge that waits in its bootloader",
    "For a bridge left in its bootloader by an update that was interrupted or that did not\n"
    "find the bootloader's device: the image is written without the application firmware's\n"
    "help, through the bootloader's serial device (--boot-device; without it, the one device\n"
    "beside the vanished application's, else /dev/ttyACM1). Afterwards the application is\n"
    "opened again and the user RBFO parameters that 'lep3 update' saved before (in the tool's\n"
    "state directory) are written back.",
    kOptions,
    run_recover,
};

} // namespace lep3tool
