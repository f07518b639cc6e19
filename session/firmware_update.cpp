// LEP3_UpdateFirmware: the whole firmware update of an open session. The image is checked
// before anything is sent, so a file the transfer would refuse never costs a restart of
// the bridge; afterwards the session runs on the new firmware.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "lep3.h"
#include "link/console.h"
#include "session/session_internal.h"
#include "update/update_internal.h"

namespace {

namespace fs = std::filesystem;

constexpr int kImageRefused = -3; // the code of a transfer that didn't happen
constexpr int kNoSession = -7;
constexpr int kSessionOpen = -7;                     // a recovery wants the bridge to itself
constexpr std::uintmax_t kLargestImage = 16U << 20U; // far above any bridge's flash

void say(const std::string &text)
{
    lep3::console::write_error(("LEP3: " + text + "\n").c_str());
}

struct ImageVersion {
    int major = 0;
    int minor = 0;
};

// The reason an image would be refused, or the version its header names.
std::optional<ImageVersion> check_image(const std::string &path, std::string &reason)
{
    std::error_code error;
    if (!fs::is_regular_file(path, error)) {
        reason = "not a regular file";
        return std::nullopt;
    }
    const std::uintmax_t size = fs::file_size(path, error);
    if (error || size == 0 || size > kLargestImage) {
        reason = error ? error.message() : size == 0 ? "empty" : "too large for a bridge's flash";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && in.fail()) {
        reason = "can't be read";
        return std::nullopt;
    }
    const std::string_view flag(lep3::update::kImageFlag, lep3::update::kImageFlagSize);
    if (bytes.size() < flag.size() ||
        std::string_view(reinterpret_cast<const char *>(bytes.data()), flag.size()) != flag) {
        reason = "it doesn't begin with \"SAMG55;V\"";
        return std::nullopt;
    }
    if (lep3::update::header_length(bytes) >= bytes.size()) {
        reason = "it holds a header and no firmware";
        return std::nullopt;
    }
    ImageVersion version;
    const std::string header(bytes.begin() + static_cast<std::ptrdiff_t>(flag.size()),
                             bytes.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(bytes.size(), 64)));
    if (std::sscanf(header.c_str(), "%d.%d", &version.major, &version.minor) != 2 || version.major < 0 ||
        version.minor < 0) {
        reason = "its header names no version";
        return std::nullopt;
    }
    return version;
}

// A private firmware directory holding exactly the given image under a name the update
// takes, so whatever else lies in the usual directory is never picked.
class PrivateImageDir {
  public:
    PrivateImageDir(const std::string &image, ImageVersion version)
    {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/lep3-fw-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            return;
        dir_ = pattern;
        const std::string name =
            "SAMG55_V" + std::to_string(version.major) + "." + std::to_string(version.minor) + ".talvor";
        std::error_code error;
        fs::copy_file(image, dir_ + "/" + name, error);
        saved_ = LEP3_GetPath(LEP3_PATH_FIRMWARE_DIR);
        ok_ = !error && LEP3_SetPath(LEP3_PATH_FIRMWARE_DIR, dir_.c_str()) == 0;
    }
    ~PrivateImageDir()
    {
        if (!saved_.empty())
            LEP3_SetPath(LEP3_PATH_FIRMWARE_DIR, saved_.c_str());
        if (!dir_.empty()) {
            std::error_code ignored;
            fs::remove_all(dir_, ignored);
        }
    }
    PrivateImageDir(const PrivateImageDir &) = delete;
    PrivateImageDir &operator=(const PrivateImageDir &) = delete;
    bool ok() const { return ok_; }

  private:
    std::string dir_;
    std::string saved_;
    bool ok_ = false;
};

} // namespace

extern "C" LEP3_API int LEP3_UpdateFirmware(const char *image_path)
{
    const std::lock_guard<std::mutex> serial(lep3::session::serial_lock());
    if (!lep3::session::session_open() || LEP3_GetLinkState() == LEP3_LINK_GONE) {
        say("no bridge is open for the update");
        return kNoSession;
    }
    std::string image;
    if (image_path != nullptr) {
        image = image_path;
    } else {
        const char *name = search_firmware();
        if (name == nullptr) {
            say(std::string("no firmware image in ") + LEP3_GetPath(LEP3_PATH_FIRMWARE_DIR));
            return kImageRefused;
        }
        image = std::string(LEP3_GetPath(LEP3_PATH_FIRMWARE_DIR)) + "/" + name;
    }
    std::string reason;
    const std::optional<ImageVersion> version = check_image(image, reason);
    if (!version) {
        say("the firmware image " + image + " is refused: " + reason);
        return kImageRefused;
    }
    std::optional<PrivateImageDir> private_dir;
    if (image_path != nullptr) {
        private_dir.emplace(image, *version);
        if (!private_dir->ok()) {
            say("can't stage the firmware image " + image);
            return kImageRefused;
        }
    }
    lep3::update::note_blocks(0, 0);
    lep3::session::begin_update();
    const int result = LEP3_UpdateSAMG55(lep3::session::reader_thread());
    lep3::session::end_update(result);
    return result;
}

extern "C" LEP3_API int LEP3_RecoverFirmware(const char *image_path)
{
    if (image_path == nullptr)
        return -5;
    const std::lock_guard<std::mutex> serial(lep3::session::serial_lock());
    if (lep3::session::session_open()) {
        say("a bridge is open in this process: close it before recovering one");
        return kSessionOpen;
    }
    std::string reason;
    const std::optional<ImageVersion> version = check_image(image_path, reason);
    if (!version) {
        say(std::string("the firmware image ") + image_path + " is refused: " + reason);
        return kImageRefused;
    }
    const PrivateImageDir private_dir(image_path, *version);
    if (!private_dir.ok()) {
        say(std::string("can't stage the firmware image ") + image_path);
        return kImageRefused;
    }
    lep3::update::note_blocks(0, 0);
    // The bootloader's device is opened as the session opens its own: never as the host's
    // controlling terminal.
    lep3::link::set_session_opens(true);
    const int result = update_flow() == 0 ? 0 : kImageRefused;
    lep3::link::set_session_opens(false);
    return result;
}
