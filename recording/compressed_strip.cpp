#include "recording/compressed_strip.h"

#include <zlib.h>

#include <cstring>
#include <limits>

namespace lep3::recording {

namespace {

template <typename T> void add_up(std::span<std::byte> rows, size_t row_bytes)
{
    for (size_t at = 0; at + row_bytes <= rows.size(); at += row_bytes) {
        std::byte *row = rows.data() + at;
        T sum = 0;
        for (size_t i = 0; i + sizeof(T) <= row_bytes; i += sizeof(T)) {
            T difference;
            std::memcpy(&difference, row + i, sizeof difference);
            sum = static_cast<T>(sum + difference); // modulo the sample's width, as it was taken
            std::memcpy(row + i, &sum, sizeof sum);
        }
    }
}

} // namespace

bool inflate_exactly(std::span<const std::byte> stream, std::span<std::byte> out)
{
    constexpr size_t kMost = std::numeric_limits<uInt>::max();
    if (stream.size() > kMost || out.size() > kMost)
        return false;
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<std::byte *>(stream.data()));
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    // Z_STREAM_END only once the checksum after the data has been read and matched.
    const int result = inflate(&z, Z_FINISH);
    const bool whole = result == Z_STREAM_END && z.avail_out == 0;
    inflateEnd(&z);
    return whole;
}

void add_up_rows(std::span<std::byte> rows, size_t row_bytes, size_t sample_bytes)
{
    if (sample_bytes == sizeof(uint16_t))
        add_up<uint16_t>(rows, row_bytes);
    else
        add_up<uint32_t>(rows, row_bytes);
}

} // namespace lep3::recording
