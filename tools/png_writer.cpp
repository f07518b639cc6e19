#include "tools/png_writer.h"
#include "tools/text_format.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace lep3tool {

namespace {

struct Image {
    const uint8_t *rows_base;
    size_t row_bytes;
    uint32_t width;
    uint32_t height;
    int bit_depth;
    int colour_type;
    int significant_bits; // of a grey sample; the bit depth when all are
};

struct FileCloser {
    void operator()(FILE *f) const { (void)std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// libpng reports errors by longjmp to the setjmp below; nothing with a destructor lives
// in this frame, so the jump skips no clean-up. Everything it needs is prepared by the
// caller, which owns the memory.
bool encode(png_structp png, png_infop info, FILE *file, const Image &image, png_bytepp rows, png_textp text,
            int text_count)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_init_io(png, file);
    png_set_IHDR(png, info, image.width, image.height, image.bit_depth, image.colour_type, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (text_count > 0)
        png_set_text(png, info, text, text_count);
    if (image.colour_type == PNG_COLOR_TYPE_GRAY && image.significant_bits < image.bit_depth) {
        png_color_8 significant{};
        significant.gray = static_cast<png_byte>(image.significant_bits);
        png_set_sBIT(png, info, &significant);
    }
    png_write_info(png, info);
    // PNG samples of 16 bits are big-endian; the frames are in host order.
    if (image.bit_depth == 16) {
        const uint16_t probe = 1;
        uint8_t first = 0;
        std::memcpy(&first, &probe, 1);
        if (first == 1)
            png_set_swap(png);
    }
    png_write_image(png, rows);
    png_write_end(png, info);
    return true;
}

void write_png(const std::string &path, const Image &image, std::span<const PngText> text)
{
    const std::string partial = path + ".part";
    File file(std::fopen(partial.c_str(), "wb"));
    if (!file)
        throw std::runtime_error("cannot create " + partial + ": " + std::strerror(errno));
    errno = 0;

    std::vector<png_bytep> rows(image.height);
    for (uint32_t y = 0; y < image.height; ++y)
        rows[y] = const_cast<png_bytep>(image.rows_base + y * image.row_bytes);
    std::vector<png_text> chunks(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        chunks[i] = png_text{};
        chunks[i].compression = PNG_TEXT_COMPRESSION_NONE;
        chunks[i].key = const_cast<png_charp>(text[i].key.c_str());
        chunks[i].text = const_cast<png_charp>(text[i].value.c_str());
        chunks[i].text_length = text[i].value.size();
    }

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    bool ok = info != nullptr &&
              encode(png, info, file.get(), image, rows.data(), chunks.data(), static_cast<int>(chunks.size()));
    png_destroy_write_struct(png != nullptr ? &png : nullptr, info != nullptr ? &info : nullptr);
    ok = ok && std::fflush(file.get()) == 0;
    ok = std::fclose(file.release()) == 0 && ok;
    if (!ok || std::rename(partial.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        (void)std::remove(partial.c_str());
        throw std::runtime_error("cannot write " + path + (saved != 0 ? std::string(": ") + std::strerror(saved) : ""));
    }
}

void check_size(size_t have, size_t want, const std::string &path)
{
    if (have < want)
        throw std::runtime_error("cannot write " + path + ": image buffer too small");
}

} // namespace

void write_png_rgb8(const std::string &path, std::span<const uint8_t> rgb, uint32_t width, uint32_t height,
                    std::span<const PngText> text)
{
    constexpr size_t kChannels = 3;
    check_size(rgb.size(), size_t{width} * height * kChannels, path);
    write_png(path, Image{rgb.data(), size_t{width} * kChannels, width, height, 8, PNG_COLOR_TYPE_RGB, 8}, text);
}

void write_png_gray16(const std::string &path, std::span<const uint16_t> grey, uint32_t width, uint32_t height,
                      std::span<const PngText> text, int significant_bits)
{
    check_size(grey.size(), size_t{width} * height, path);
    if (significant_bits < 1 || significant_bits > 16)
        throw std::runtime_error("cannot write " + path + ": " + std::to_string(significant_bits) +
                                 " significant bits in a 16-bit sample");
    write_png(path,
              Image{reinterpret_cast<const uint8_t *>(grey.data()), size_t{width} * sizeof(uint16_t), width, height, 16,
                    PNG_COLOR_TYPE_GRAY, significant_bits},
              text);
}

} // namespace lep3tool
