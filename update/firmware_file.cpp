// The firmware image file on the host: where it is found, how it must be named, where its
// header ends and which version it carries.
#include <dirent.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "link/console.h"
#include "update/update_internal.h"

namespace lep3::update {

bool is_firmware_image_name(const char *name)
{
    if (std::strlen(name) > kMaxImageNameLength)
        return false;
    int major = 0;
    int minor = 0;
    std::array<char, kImageSuffixBuffer> suffix{};
    // All three fields must scan, and the suffix (the rest up to a blank) must be exact.
    if (std::sscanf(name, kImageNamePattern, &major, &minor, suffix.data()) != 3)
        return false;
    return std::strcmp(suffix.data(), kImageSuffix) == 0;
}

size_t header_length(std::span<const uint8_t> file)
{
    constexpr uint8_t kCr = 0x0D;
    constexpr uint8_t kLf = 0x0A;
    for (size_t i = 0; i < kHeaderSearchLimit && i + 1 < file.size(); ++i) {
        if (file[i] == kCr && file[i + 1] == kLf)
            return i + 2;
    }
    return kHeaderLengthWithoutEnd;
}

void image_path(const char *name, std::span<char, kImagePathSize> out)
{
    (void)std::snprintf(out.data(), out.size(), "%s/%s", LEP3_GetPath(LEP3_PATH_FIRMWARE_DIR), name);
}

} // namespace lep3::update

namespace {

using namespace lep3::update;

// Version number x.yy as the integer xyy, cut toward zero. Texts beyond the 32-bit range
// (or "nan") would make the cast undefined, so they saturate (or give 0).
int32_t to_hundredths(double version)
{
    const double hundredths = std::trunc(version * 100.0);
    if (std::isnan(hundredths))
        return 0;
    return static_cast<int32_t>(std::clamp(hundredths, double{INT32_MIN}, double{INT32_MAX}));
}

struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};

} // namespace

extern "C" LEP3_API char *search_firmware(void)
{
    // The name outlives the directory listing; callers must not search concurrently.
    static std::array<char, kMaxImageNameLength + 1> found{};

    std::unique_ptr<DIR, DirCloser> dir(opendir(LEP3_GetPath(LEP3_PATH_FIRMWARE_DIR)));
    if (!dir) {
        lep3::console::print_errno("open dir fail");
        return nullptr;
    }
    while (const dirent *entry = readdir(dir.get())) {
        // Only entries the listing reports as regular files; unknown types are skipped.
        if (entry->d_type != DT_REG || !is_firmware_image_name(entry->d_name))
            continue;
        // A qualifying name is at most kMaxImageNameLength characters long.
        const size_t length = strnlen(entry->d_name, kMaxImageNameLength);
        std::memcpy(found.data(), entry->d_name, length);
        found[length] = '\0';
        return found.data();
    }
    return nullptr;
}

namespace lep3::update {

File open_firmware_image(const char *mode)
{
    const char *name = search_firmware();
    if (name == nullptr) {
        lep3::console::put_line("Can't find firmware");
        return nullptr;
    }
    std::array<char, kImagePathSize> path{};
    image_path(name, path);
    lep3::console::print("Find firmware: %s\n", path.data());
    File file(std::fopen(path.data(), mode));
    if (!file)
        lep3::console::put_line("ERROR: Can't open firmware");
    return file;
}

} // namespace lep3::update

extern "C" LEP3_API int LEP3_GetSAMG55FileVersion(uint32_t *version)
{
    if (version == nullptr)
        return -5;
    const File file = open_firmware_image("r");
    if (!file)
        return -1;
    std::array<char, kVersionLineSize> line{};
    if (std::fgets(line.data(), static_cast<int>(line.size()), file.get()) == nullptr)
        line[0] = '\0';

    // "SAMG55;V1.05\r\n": the text before the first 'V' is the flag, the version runs from
    // there to the CR.
    char *save = nullptr;
    if (strtok_r(line.data(), "V", &save) == nullptr) {
        lep3::console::print("ERROR:%s->find flag \"V\" failed!\n", "LEP3_GetSAMG55FileVersion");
        return -1;
    }
    const char *text = strtok_r(nullptr, "\r", &save);
    if (text == nullptr) {
        lep3::console::print("ERROR:%s->find SAMG55 file version failed!\n", "LEP3_GetSAMG55FileVersion");
        return -1;
    }
    lep3::console::print("SAMG55 file version:%s, len=%d\n", text, static_cast<int>(std::strlen(text)));
    // Truncated, not rounded: 1.15 reads as 114.99999999999999 and gives 114.
    *version = static_cast<uint32_t>(to_hundredths(std::strtod(text, nullptr)));
    return 0;
}
