#include "hostkit/png_writer.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "files/output_file.h"

namespace lep3tool {

namespace {

constexpr size_t kRgbChannels = 3;

struct Image {
    const uint8_t *rows_base;
    size_t row_bytes;
    uint32_t width;
    uint32_t height;
    int bit_depth;
    int colour_type;
    int significant_bits; // of a grey sample; the bit depth when all are
};

// Where libpng's output goes. An allocation failure is remembered and reported to libpng
// after the handler, so no exception and no longjmp leave a catch block.
struct Sink {
    std::string bytes;
    bool failed = false;
};

void append_to_sink(png_structp png, png_bytep data, size_t length)
{
    auto *sink = static_cast<Sink *>(png_get_io_ptr(png));
    try {
        sink->bytes.append(reinterpret_cast<const char *>(data), length);
    } catch (const std::bad_alloc &) {
        sink->failed = true;
    }
    if (sink->failed)
        png_error(png, "out of memory");
}

void flush_sink(png_structp) {}

// libpng reports errors by longjmp to the setjmp below; nothing with a destructor lives
// in this frame, so the jump skips no clean-up. Everything it needs is prepared by the
// caller, which owns the memory.
bool encode(png_structp png, png_infop info, Sink *sink, const Image &image, png_bytepp rows, png_textp text,
            int text_count)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_write_fn(png, sink, append_to_sink, flush_sink);
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

std::string encode_png(const Image &image, std::span<const PngText> text)
{
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

    Sink sink;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    const bool ok =
        info != nullptr && encode(png, info, &sink, image, rows.data(), chunks.data(), static_cast<int>(chunks.size()));
    png_destroy_write_struct(png != nullptr ? &png : nullptr, info != nullptr ? &info : nullptr);
    if (!ok)
        throw std::runtime_error(sink.failed ? "no memory for the PNG picture" : "the PNG picture could not be made");
    return std::move(sink.bytes);
}

void check_size(size_t have, size_t want)
{
    if (have < want)
        throw std::runtime_error("image buffer too small");
}

Image rgb_image(std::span<const uint8_t> rgb, uint32_t width, uint32_t height)
{
    check_size(rgb.size(), size_t{width} * height * kRgbChannels);
    return Image{rgb.data(), size_t{width} * kRgbChannels, width, height, 8, PNG_COLOR_TYPE_RGB, 8};
}

Image grey_image(std::span<const uint16_t> grey, uint32_t width, uint32_t height, int significant_bits)
{
    check_size(grey.size(), size_t{width} * height);
    if (significant_bits < 1 || significant_bits > 16)
        throw std::runtime_error(std::to_string(significant_bits) + " significant bits in a 16-bit sample");
    return Image{reinterpret_cast<const uint8_t *>(grey.data()),
                 size_t{width} * sizeof(uint16_t),
                 width,
                 height,
                 16,
                 PNG_COLOR_TYPE_GRAY,
                 significant_bits};
}

// The encoder's failure as a failure to write the file.
template <typename Encode> void write_encoded(const std::string &path, Encode encode_image)
{
    std::string bytes;
    try {
        bytes = encode_image();
    } catch (const std::runtime_error &e) {
        throw std::runtime_error("cannot write " + path + ": " + e.what());
    }
    lep3::files::write_file(path, bytes);
}

} // namespace

std::string encode_png_rgb8(std::span<const uint8_t> rgb, uint32_t width, uint32_t height,
                            std::span<const PngText> text)
{
    return encode_png(rgb_image(rgb, width, height), text);
}

std::string encode_png_gray16(std::span<const uint16_t> grey, uint32_t width, uint32_t height,
                              std::span<const PngText> text, int significant_bits)
{
    return encode_png(grey_image(grey, width, height, significant_bits), text);
}

void write_png_rgb8(const std::string &path, std::span<const uint8_t> rgb, uint32_t width, uint32_t height,
                    std::span<const PngText> text)
{
    write_encoded(path, [&] { return encode_png_rgb8(rgb, width, height, text); });
}

void write_png_gray16(const std::string &path, std::span<const uint16_t> grey, uint32_t width, uint32_t height,
                      std::span<const PngText> text, int significant_bits)
{
    write_encoded(path, [&] { return encode_png_gray16(grey, width, height, text, significant_bits); });
}

} // namespace lep3tool
