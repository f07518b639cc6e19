// Device and directory paths: the fixed defaults of a camera system, changeable by the
// host (a udev symlink, a second bridge) and by the tests before LEP3_Init.
#include <array>
#include <cstring>
#include <string>

#include "lep3.h"

namespace {

constexpr size_t kPathLimit = 256; // a path of 256 characters or more is refused

constexpr std::array<const char *, 5> kDefaults = {
    "/dev/ttyACM0", // LEP3_PATH_UART
    "/dev/ttyACM1", // LEP3_PATH_UART_ALT
    "/tmp/mmcblk0", // LEP3_PATH_FIRMWARE_DIR
    "/sdcard",      // LEP3_PATH_SDCARD_DIR
    "/tmp",         // LEP3_PATH_CAPTURE_DIR
};

// Each path lives in fixed storage so a pointer from LEP3_GetPath stays valid.
std::array<std::array<char, kPathLimit>, kDefaults.size()> &paths()
{
    static std::array<std::array<char, kPathLimit>, kDefaults.size()> storage = [] {
        std::array<std::array<char, kPathLimit>, kDefaults.size()> s{};
        for (size_t i = 0; i < kDefaults.size(); ++i)
            std::strncpy(s[i].data(), kDefaults[i], kPathLimit - 1);
        return s;
    }();
    return storage;
}

bool known(int which)
{
    return which >= 0 && static_cast<size_t>(which) < kDefaults.size();
}

} // namespace

extern "C" LEP3_API int LEP3_SetPath(int which, const char *path)
{
    if (!known(which) || path == nullptr)
        return -3;
    const size_t len = strnlen(path, kPathLimit);
    if (len == 0 || len >= kPathLimit)
        return -3;
    auto &slot = paths()[static_cast<size_t>(which)];
    std::memcpy(slot.data(), path, len);
    slot[len] = '\0';
    return 0;
}

extern "C" LEP3_API const char *LEP3_GetPath(int which)
{
    return known(which) ? paths()[static_cast<size_t>(which)].data() : nullptr;
}
