// The session's parser against the classic pass as its model: any byte stream, read in
// chunks that the input chooses, must deliver the same replies, frames, counters, parser
// variables and messages down both paths after every chunk.
//
// The first two bytes seed the chunk sizes; the rest is the stream. A stream that ends
// inside a frame packet's data is completed with copies of its last byte, as one more read,
// so short inputs reach the frame completions.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "tests/support/parse_paths.h"

namespace {

using lep3::test::Delivered;
using lep3::test::ParseRun;
using lep3::test::Path;

#define NOT_TRACED __attribute__((no_sanitize("coverage")))

NOT_TRACED std::vector<size_t> chunk_sizes(uint16_t seed, size_t total)
{
    std::minstd_rand rng(seed + 1U);
    std::vector<size_t> sizes;
    for (size_t sum = 0; sum < total;) {
        const size_t n = rng() % 8 == 0 ? 1 + rng() % 4096 : 1 + rng() % 64;
        sizes.push_back(n);
        sum += n;
    }
    return sizes;
}

NOT_TRACED std::vector<Delivered> run(Path path, std::span<const uint8_t> stream, const std::vector<size_t> &sizes,
                                      std::vector<uint8_t> &tail)
{
    ParseRun parse;
    size_t at = 0;
    for (size_t i = 0; at < stream.size(); ++i) {
        const size_t n = std::min(sizes[i], stream.size() - at);
        parse.feed(path, stream.subspan(at, n));
        at += n;
    }
    // The model decides the tail; the session gets the same one.
    if (path == Path::classic && !stream.empty())
        tail.assign(static_cast<size_t>(lep3::link::frame_bytes_missing()), stream.back());
    parse.feed(path, tail);
    return parse.record_so_far();
}

} // namespace

extern "C" NOT_TRACED int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const auto seed = static_cast<uint16_t>(data[0] << 8 | data[1]);
    const std::span<const uint8_t> stream(data + 2, size - 2);
    const std::vector<size_t> sizes = chunk_sizes(seed, stream.size());
    std::vector<uint8_t> tail;
    const std::vector<Delivered> model = run(Path::classic, stream, sizes, tail);
    const std::vector<Delivered> session = run(Path::session, stream, sizes, tail);
    if (model.size() != session.size()) {
        std::fprintf(stderr, "the paths recorded %zu and %zu reads\n", model.size(), session.size());
        std::abort();
    }
    for (size_t i = 0; i < model.size(); ++i) {
        if (!(model[i] == session[i])) {
            std::fprintf(stderr, "after read %zu the session delivered otherwise (state %d vs %d, frames %u vs %u)\n",
                         i, session[i].words.state, model[i].words.state, session[i].words.desc.frame_number,
                         model[i].words.desc.frame_number);
            std::abort();
        }
    }
    return 0;
}
