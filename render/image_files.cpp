// Image files: each a plain copy of a buffer as it lies in memory, with no header, so
// other tools can read them with a known size and pixel layout.
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>

#include "lep3.h"
#include "link/console.h"
#include "link/link_internal.h"
#include "link/output_file.h"
#include "render/render_internal.h"

namespace {

using lep3::render::kFramePixels;

using lep3::link::File;

// Room for any configured directory (under 256 characters) and a file name, so the
// formatted names below are never truncated.
using PathBuffer = std::array<char, 320>;

// Image files go to the working directory and the sdcard directory, which may be shared:
// a symlink or anything but a regular file at the name is refused like a file that can't
// be created, and a new file is writable by its owner alone.
File create(const char *path)
{
    return lep3::link::create_output_file(path);
}

// Writes count items of item_size bytes in one call and closes the file. Data that
// stdio still buffers can fail at the close, which counts as a failed write too.
bool write_and_close(File file, const void *data, size_t item_size, size_t count)
{
    const bool written = std::fwrite(data, item_size, count, file.get()) == count;
    const bool closed = std::fclose(file.release()) == 0;
    return written && closed;
}

// Number of the next RAW14 capture. Used up by every call, also by one that fails.
uint32_t raw14_counter = 0;

// Largest frame the queue can hand out (an RGB frame), so no read overruns it.
std::array<uint8_t, lep3::render::kRgbFrameBytes> raw14_frame;

} // namespace

extern "C" LEP3_API int saveGray8ImageFile(const uint8_t *gray8, int32_t number)
{
    PathBuffer name{};
    (void)std::snprintf(name.data(), name.size(), "gray8_%d_160x120.yuv", number);
    File file = create(name.data());
    if (!file) {
        lep3::console::put_line("\nCan't create gray8image.y\n");
        return -1;
    }
    if (!write_and_close(std::move(file), gray8, 1, kFramePixels)) {
        lep3::console::put_line("\nsaveGray8ImageFile:Write data to file error!\n");
        return -1;
    }
    return 0;
}

extern "C" LEP3_API int saveRGB24ImageFile(const uint8_t *rgb24)
{
    File file = create("leptonImage.rgb");
    if (!file) {
        lep3::console::put_line("Can't create leptonImage.rgb");
        return -1;
    }
    if (!write_and_close(std::move(file), rgb24, lep3::render::kRgbBytesPerPixel, kFramePixels)) {
        lep3::console::put_line("Write data to file error!");
        return -1;
    }
    return 0;
}

extern "C" LEP3_API int saveImageFile(const uint16_t *raw, frame_desc_t desc)
{
    PathBuffer name{};
    (void)std::snprintf(name.data(), name.size(), "image14%d.y", static_cast<int>(desc.frame_number));
    File file = create(name.data());
    if (!file)
        return -1;
    if (!write_and_close(std::move(file), raw, sizeof(uint16_t), kFramePixels)) {
        lep3::console::put_line("Write data to file error!");
        return -1;
    }
    return 0;
}

extern "C" LEP3_API int saveImageIncludePacketHead(const uint8_t *packet_data, int32_t number)
{
    PathBuffer name{};
    (void)std::snprintf(name.data(), name.size(), "headImage%d.jpg", number);
    File file = create(name.data());
    if (!file) {
        lep3::console::put_line("\nCan't create headImage.jpg\n");
        return -1;
    }
    if (!write_and_close(std::move(file), packet_data, 1, lep3::link::kRawPacketData)) {
        lep3::console::put_line("\nsaveImageIncludePacketHead:Write data to file error!\n");
        return -1;
    }
    return 0;
}

extern "C" LEP3_API int LEP3_SaveRaw14TiffImage(void)
{
    const auto number = static_cast<int>(raw14_counter++);
    PathBuffer path{};
    (void)std::snprintf(path.data(), path.size(), "%s/RAW14_%d.tiff", LEP3_GetPath(LEP3_PATH_SDCARD_DIR), number);
    File file = create(path.data());
    if (!file) {
        lep3::console::put_line("\nCan't create RAW14.tiff");
        return -1;
    }

    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t format = 0;
    uint32_t size = 0;
    uint32_t frame_number = 0;
    const int got = LEP3_GetFrameFromQueue(raw14_frame.data(), &width, &height, &format, &size, &frame_number);
    if (got != 0 || format != lep3::link::kFormatRaw || size < lep3::render::kRawFrameBytes) {
        // Nothing to save: leave no empty or partial capture behind.
        file.reset();
        (void)std::remove(path.data());
        lep3::console::put_line("\nsave RAW14.tiff: no raw frame to save");
        return -1;
    }
    if (!write_and_close(std::move(file), raw14_frame.data(), 1, lep3::render::kRawFrameBytes)) {
        lep3::console::put_line("\nsave RAW14.tiff: Write data to file error!");
        return -1;
    }
    return 0;
}
