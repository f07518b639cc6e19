// A compressed strip of a page, decoded and checked whole. libtiff's own Deflate decoder
// takes a stream that runs on past the strip's end as a whole strip (files in the wild
// do that), so a damaged stream can read as wrong values without a word; here a stream
// counts only when it ends exactly where the strip does and its checksum matches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace lep3::recording {

// The longest Deflate stream of values of `bytes` bytes that a reader takes: twice
// their length, far beyond what any encoder's stored blocks add to values it cannot
// shrink, and short enough that a hostile directory can't make the reader load more
// than a few pages' worth for one.
constexpr uint64_t longest_stream(uint64_t bytes)
{
    return 2 * bytes + 64;
}

// Decodes a zlib stream into out, which it must fill exactly; false when the stream is
// damaged, ends early or holds more.
bool inflate_exactly(std::span<const std::byte> stream, std::span<std::byte> out);

// Turns the differences between neighbours along each row (TIFF's horizontal predictor)
// back into values: samples of sample_bytes (2 or 4, in the host's order; 32-bit floats
// are differenced as 32-bit words), rows of row_bytes.
void add_up_rows(std::span<std::byte> rows, size_t row_bytes, size_t sample_bytes);

} // namespace lep3::recording
