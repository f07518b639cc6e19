// The middle of an update: load the image file, check its flag and header, and hand its
// data section to the bootloader transfer. File and buffer are released on every path.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "link/console.h"
#include "update/update_internal.h"

namespace {

using namespace lep3::update;

constexpr int kTransferAttempts = 3;

struct BufferFree {
    void operator()(uint8_t *buffer) const { std::free(buffer); }
};

} // namespace

extern "C" LEP3_API int update_flow(void)
{
    const File file = open_firmware_image("rb");
    if (!file)
        return -1;
    const long size = std::fseek(file.get(), 0, SEEK_END) == 0 ? std::ftell(file.get()) : -1;
    const bool rewound = std::fseek(file.get(), 0, SEEK_SET) == 0;
    lep3::console::print("Firmware file size=%d\n", static_cast<int>(size));
    if (size < 0 || !rewound) {
        lep3::console::put_line("ERROR: Can't read enough data from file");
        return -1;
    }

    // The whole file goes into memory at once; calloc reports a failed allocation without
    // throwing. One byte at least, so an empty file still gets a buffer to compare against.
    const auto length = static_cast<size_t>(size);
    std::unique_ptr<uint8_t, BufferFree> buffer(static_cast<uint8_t *>(std::calloc(length == 0 ? 1 : length, 1)));
    if (!buffer) {
        lep3::console::put_line("ERROR: Can't calloc enough memory");
        return -1;
    }
    if (std::fread(buffer.get(), 1, length, file.get()) < length) {
        lep3::console::put_line("ERROR: Can't read enough data from file");
        return -1;
    }
    const std::span<const uint8_t> contents(buffer.get(), length);

    if (length < kImageFlagSize || std::memcmp(contents.data(), kImageFlag, kImageFlagSize) != 0) {
        lep3::console::put_line("ERROR: firmware file flag not match!");
        return -1;
    }
    const size_t header = header_length(contents);
    if (header > length) {
        lep3::console::print("ERROR: firmware file of %zu bytes is shorter than its %zu-byte header!\n", length,
                             header);
        return -1;
    }
    const auto data = contents.subspan(header);
    lep3::console::print("dat size:%d\n", static_cast<int>(data.size()));

    for (int attempt = 0; attempt < kTransferAttempts; ++attempt) {
        if (send_update_file(data.data(), static_cast<uint32_t>(data.size())) == 0)
            return 0;
    }
    lep3::console::put_line("ERROR: send_update_file failed!");
    return -1;
}
