#include "tools/png_reader.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace lep3::test {

namespace {

struct FileCloser {
    void operator()(FILE *f) const { (void)std::fclose(f); }
};

// libpng reports errors by longjmp; nothing with a destructor lives in this frame.
bool decode(png_structp png, png_infop info, FILE *file, DecodedPng &out, std::vector<uint8_t> &bytes,
            std::vector<png_bytep> &rows)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_init_io(png, file);
    png_read_info(png, info);
    out.width = png_get_image_width(png, info);
    out.height = png_get_image_height(png, info);
    out.bit_depth = png_get_bit_depth(png, info);
    out.colour_type = png_get_color_type(png, info);
    const size_t row_bytes = png_get_rowbytes(png, info);
    bytes.resize(row_bytes * out.height);
    rows.resize(out.height);
    for (uint32_t y = 0; y < out.height; ++y)
        rows[y] = bytes.data() + y * row_bytes;
    png_read_image(png, rows.data());
    png_read_end(png, info);
    png_textp text = nullptr;
    int count = 0;
    png_get_text(png, info, &text, &count);
    for (int i = 0; i < count; ++i)
        out.text[text[i].key] = std::string(text[i].text, text[i].text_length);
    return true;
}

} // namespace

DecodedPng read_png(const std::string &path)
{
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw std::runtime_error("cannot open " + path);
    DecodedPng out;
    std::vector<uint8_t> bytes;
    std::vector<png_bytep> rows;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    const bool ok = info != nullptr && decode(png, info, file.get(), out, bytes, rows);
    png_destroy_read_struct(png != nullptr ? &png : nullptr, info != nullptr ? &info : nullptr, nullptr);
    if (!ok)
        throw std::runtime_error(path + " is not a valid PNG file");
    // Samples as numbers: PNG stores 16-bit samples high byte first.
    if (out.bit_depth == 16) {
        for (size_t i = 0; i + 1 < bytes.size(); i += 2)
            out.samples.push_back(static_cast<uint16_t>(bytes[i] << 8 | bytes[i + 1]));
    } else {
        out.samples.assign(bytes.begin(), bytes.end());
    }
    return out;
}

} // namespace lep3::test
