// The reader that replay and inspect share: a recording whose values can't all be read
// (a strip past the end, a codec the writer doesn't use, a chain of pages that loops, a
// damaged compressed strip) is refused with the page at fault, never passed with fewer
// or wrong pages.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "recording/reader.h"
#include "recording/scratch_dir.h"
#include "recording/writer.h"
#include "sim/bridge_sim.h"

namespace {

namespace rec = lep3::recording;

// A classic little-endian TIFF's bytes and the offsets of its pages' directories.
struct Tiff {
    std::vector<uint8_t> bytes;

    uint32_t u32(size_t at) const
    {
        uint32_t v = 0;
        std::memcpy(&v, &bytes[at], 4);
        return v;
    }
    void put32(size_t at, uint32_t v) { std::memcpy(&bytes[at], &v, 4); }
    std::vector<uint32_t> directories() const
    {
        std::vector<uint32_t> out;
        for (uint32_t at = u32(4); at != 0 && out.size() < 16; at = u32(at + 2 + 12 * count(at)))
            out.push_back(at);
        return out;
    }
    uint16_t count(size_t dir) const { return static_cast<uint16_t>(bytes[dir] | bytes[dir + 1] << 8); }
    // Where a tag's value sits in a directory.
    size_t value_of(size_t dir, uint16_t tag) const
    {
        for (size_t e = dir + 2; e < dir + 2 + 12 * count(dir); e += 12)
            if ((bytes[e] | bytes[e + 1] << 8) == tag)
                return e + 8;
        ADD_FAILURE() << "no tag " << tag;
        return 0;
    }
    size_t next_of(size_t dir) const { return dir + 2 + 12 * count(dir); }
};

using ReaderTest = lep3::test::ScratchDirTest;
using Compression = rec::RecordingWriter::Compression;

// Three pages of the emulator's scene.
Tiff written(const std::string &file, Compression compression)
{
    std::filesystem::remove(file);
    rec::RecordingWriter w(file, rec::FileInfo{rec::Values::raw, "1.1.0", 262, 1},
                           rec::RecordingWriter::Container::classic, compression);
    std::vector<uint16_t> values(rec::kPixels);
    for (uint32_t n = 1; n <= 3; ++n) {
        rec::PageInfo page;
        page.frame_number = n;
        page.host_time_us = 1700000000000000 + n * 114943;
        page.rbfo_set = "internal";
        lep3::sim::BridgeSim::raw_frame(n, values.data());
        w.add(page, values.data());
    }
    w.finish();
    Tiff t;
    std::ifstream in(file, std::ios::binary);
    t.bytes.assign(std::istreambuf_iterator<char>(in), {});
    return t;
}

// Pages whose values can't all be read are refused when the file is opened, with the page
// at fault; a compressed page whose values are damaged is refused when it is read.
TEST_F(ReaderTest, PagesWhoseValuesCantBeReadAreRefused)
{
    constexpr uint16_t kCompression = 259, kStripOffsets = 273, kStripBytes = 279, kPredictor = 317;
    struct Case {
        const char *what;
        Compression compression;
        std::function<void(Tiff &, uint32_t page2)> damage;
        const char *reason;
        bool on_opening;
    };
    const auto past_end = [](Tiff &t, uint32_t d) {
        t.put32(t.value_of(d, kStripOffsets), static_cast<uint32_t>(t.bytes.size()));
    };
    const std::vector<Case> cases = {
        {"strip past the end", Compression::none, past_end, "page 2 has values past the end of the file", true},
        {"compressed strip past the end", Compression::deflate, past_end, "page 2 has values past the end", true},
        {"other compression", Compression::none, [](Tiff &t, uint32_t d) { t.put32(t.value_of(d, kCompression), 5); },
         "page 2 is compressed with method 5", true},
        {"other predictor", Compression::deflate, [](Tiff &t, uint32_t d) { t.put32(t.value_of(d, kPredictor), 3); },
         "page 2 is predicted with method 3", true},
        {"page pointing to itself", Compression::none, [](Tiff &t, uint32_t d) { t.put32(t.next_of(d), d); },
         "page 3 can't be read", true},
        {"compressed strip overwritten", Compression::deflate,
         [](Tiff &t, uint32_t d) {
             const uint32_t at = t.u32(t.value_of(d, kStripOffsets)), bytes = t.u32(t.value_of(d, kStripBytes));
             for (uint32_t k = bytes / 2; k < bytes / 2 + 4; ++k)
                 t.bytes[at + k] ^= 0x5A;
         },
         "page 2 is damaged from row 1", false},
        {"compressed strip cut short", Compression::deflate,
         [](Tiff &t, uint32_t d) { t.put32(t.value_of(d, kStripBytes), t.u32(t.value_of(d, kStripBytes)) / 2); },
         "page 2 is damaged from row 1", false},
    };
    const std::string file = path("walk.tif");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Tiff bad = written(file, c.compression);
        ASSERT_EQ(bad.directories().size(), 3U);
        c.damage(bad, bad.directories()[1]);
        std::ofstream(file, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char *>(bad.bytes.data()), static_cast<std::streamsize>(bad.bytes.size()));
        uint64_t pages_read = 0;
        try {
            rec::RecordingReader reader(file);
            EXPECT_FALSE(c.on_opening) << "opened with " << reader.pages() << " pages";
            rec::PageInfo page;
            std::vector<std::byte> values(rec::kPixels * sizeof(uint16_t));
            while (reader.next(page, values))
                ++pages_read;
            ADD_FAILURE() << "read " << pages_read << " pages";
        } catch (const rec::ReadError &e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
            EXPECT_EQ(pages_read, c.on_opening ? 0U : 1U);
        }
    }
}

} // namespace
