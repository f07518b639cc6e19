// lep3 update: replaces the bridge's firmware, with a progress bar.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "lep3.h"
#include "tools/command_support.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/result_text.h"
#include "tools/signals.h"

namespace lep3tool {

namespace {

namespace fs = std::filesystem;

constexpr OptionSpec kOptions[] = {
    {"firmware-dir", 'f', "DIR", "directory holding the firmware image (default /tmp/mmcblk0)"},
};

// What a firmware image file begins with, and the names the library looks for.
constexpr std::string_view kImageFlag = "SAMG55;V";
constexpr const char *kImageName = "SAMG55_V0.0.talvor";
constexpr std::string_view kImageNamePrefix = "SAMG55_V";
constexpr std::string_view kImageNameSuffix = "talvor";

// A name the library takes for an image: the prefix, two numbers with a point after
// each, and the suffix.
bool is_image_name(std::string_view name)
{
    if (name.substr(0, kImageNamePrefix.size()) != kImageNamePrefix)
        return false;
    name.remove_prefix(kImageNamePrefix.size());
    for (int number = 0; number < 2; ++number) {
        size_t digits = 0;
        while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9')
            ++digits;
        if (digits == 0 || digits >= name.size() || name[digits] != '.')
            return false;
        name.remove_prefix(digits + 1);
    }
    return name == kImageNameSuffix;
}

constexpr std::chrono::milliseconds kProgressPoll{100};
constexpr int kBarWidth = 40;
constexpr int kFullProgress = 100;

// A private firmware directory for an image given on the command line, so the update
// takes exactly that file whatever else lies in the usual directory.
class ImageDir {
  public:
    explicit ImageDir(const std::string &file)
    {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
        std::string head(kImageFlag.size(), '\0');
        in.read(head.data(), static_cast<std::streamsize>(head.size()));
        if (!in || head != kImageFlag)
            throw std::runtime_error(file + " is not a firmware image: it does not begin with \"" +
                                     std::string(kImageFlag) + "\"");
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/lep3-firmware-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create a directory for the image: " + std::string(std::strerror(errno)));
        dir_ = pattern;
        const std::string name = fs::path(file).filename().string();
        std::error_code ec;
        fs::copy_file(file, fs::path(dir_) / (is_image_name(name) ? name : kImageName), ec);
        if (ec) {
            fs::remove_all(dir_, ec);
            throw std::runtime_error("cannot copy " + file + ": " + ec.message());
        }
    }
    ~ImageDir()
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    ImageDir(const ImageDir &) = delete;
    ImageDir &operator=(const ImageDir &) = delete;

    const std::string &path() const { return dir_; }

  private:
    std::string dir_;
};

// Follows the update from a second thread through the library's progress value.
class ProgressBar {
  public:
    ProgressBar() : terminal_(out_is_terminal()), thread_([this] { follow(); }) {}
    ~ProgressBar()
    {
        done_.store(true);
        thread_.join();
    }
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

  private:
    void follow()
    {
        int32_t shown = -1;
        bool told = false;
        for (;;) {
            const bool last = done_.load();
            int32_t rate = 0;
            LEP3_GetUpdateRate(&rate);
            if (rate != shown && rate >= 0) {
                draw(rate);
                shown = rate;
            }
            if (stop_requested() && !told) {
                told = true;
                warning("the update can't be interrupted safely and goes on; a second Ctrl-C ends the process at "
                        "once");
            }
            if (last)
                break;
            std::this_thread::sleep_for(kProgressPoll);
        }
        if (terminal_)
            print("%c", '\n');
        flush_output();
    }

    void draw(int32_t rate)
    {
        if (!terminal_) {
            print("progress %d%%\n", rate);
            flush_output();
            return;
        }
        const int filled = rate * kBarWidth / kFullProgress;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kBarWidth - filled), '.');
        print("\r[%s] %3d%%", bar.c_str(), rate);
        flush_output();
    }

    bool terminal_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

int run_update(const ParsedArgs &args)
{
    const auto &files = args.positionals();
    if (files.size() > 1)
        throw UsageError("update takes at most one image file");
    SessionOptions options = session_options(args);
    std::unique_ptr<ImageDir> image;
    if (!files.empty()) {
        if (args.has("firmware-dir"))
            throw UsageError("give an image file or --firmware-dir, not both");
        image = std::make_unique<ImageDir>(files[0]);
        options.firmware_dir = image->path();
    } else if (auto dir = args.value("firmware-dir")) {
        options.firmware_dir = *dir;
    }

    Session session(options);
    const std::string dir = LEP3_GetPath(LEP3_PATH_FIRMWARE_DIR);
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        throw std::runtime_error("the firmware directory " + dir + " does not exist (give the image file instead)");
    if (search_firmware() == nullptr)
        throw std::runtime_error("no firmware image in " + dir + " (a file named like SAMG55_V1.0.talvor)");
    uint32_t image_version = 0;
    if (LEP3_GetSAMG55FileVersion(&image_version) != 0)
        throw std::runtime_error("the firmware image in " + dir + " has no readable version");
    uint32_t running = 0;
    const int vr = LEP3_GetFirmwareVersion(&running);
    if (vr == -2)
        throw std::runtime_error("the bridge at " + session.device() + " does not answer");
    if (vr == 0)
        print("bridge firmware %u, image %u: updating\n", running, image_version);
    else
        print("image %u: updating\n", image_version);
    flush_output();

    int result = 0;
    {
        const ProgressBar bar;
        result = LEP3_UpdateSAMG55(session.reader());
    }
    // Every outcome but the first two took the link down; bring it up on what runs now.
    const bool link_released = result == 0 || result <= -3;
    bool reopened = false;
    if (link_released)
        reopened = session.reopen_after_update();
    if (result != 0) {
        error("the update failed: %s", describe_update_result(result).c_str());
        return kExitFailure;
    }
    uint32_t now_running = 0;
    if (reopened && LEP3_GetFirmwareVersion(&now_running) == 0)
        print("update complete: bridge firmware %u\n", now_running);
    else
        print("update complete\n");
    return kExitOk;
}

} // namespace

const Command kUpdateCommand = {
    "update",
    "[FILE]",
    "replace the bridge's firmware with an image file",
    "Without FILE the image is the one in the firmware directory. The bridge's user RBFO\n"
    "parameters are kept across the update. It takes about a minute; don't unplug the camera.",
    kOptions,
    run_update,
};

} // namespace lep3tool
