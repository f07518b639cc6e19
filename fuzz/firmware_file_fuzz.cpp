// Firmware image file rules on any input: the first input line is tried as a directory
// entry name, the whole input as the content of an image file whose header length and
// version are read back through the exported functions.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "update/update_internal.h"

namespace {

std::string make_firmware_dir()
{
    char dir_template[] = "/tmp/lep3-fuzz-fw-XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (dir == nullptr)
        std::abort();
    LEP3_SetPath(LEP3_PATH_FIRMWARE_DIR, dir);
    std::freopen("/dev/null", "w", stdout);
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string dir = make_firmware_dir();
    static const std::string image = dir + "/SAMG55_V1.0.talvor";

    // A name taken from the input up to its first line end.
    const auto *end = static_cast<const uint8_t *>(std::memchr(data, '\n', size));
    const std::string name(reinterpret_cast<const char *>(data), end ? static_cast<size_t>(end - data) : size);
    (void)lep3::update::is_firmware_image_name(name.c_str());

    // The header of the whole input, as update_flow finds it.
    const size_t header = lep3::update::header_length({data, size});
    if (header > lep3::update::kHeaderLengthWithoutEnd)
        std::abort();

    // The version line, as LEP3_GetSAMG55FileVersion reads it from disk.
    FILE *file = std::fopen(image.c_str(), "wb");
    if (file == nullptr)
        std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    uint32_t version = 0xDEADBEEF;
    const int result = LEP3_GetSAMG55FileVersion(&version);
    if (result != 0 && version != 0xDEADBEEF)
        std::abort(); // a failure must leave the caller's variable untouched
    return 0;
}
