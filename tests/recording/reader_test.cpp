// The reader that replay and inspect share: a recording whose values can't all be read
// (a strip past the end, a compressed strip, a chain of pages that loops) is refused
// when it is opened, with the page at fault, never passed with fewer or unreadable pages.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "recording/reader.h"
#include "recording/scratch_dir.h"
#include "recording/writer.h"

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

TEST_F(ReaderTest, PagesWhoseValuesCantBeReadAreRefusedOnOpening)
{
    const std::string file = path("walk.tif");
    {
        rec::RecordingWriter w(file, rec::FileInfo{rec::Values::raw, "1.1.0", 262, 1},
                               rec::RecordingWriter::Container::classic);
        std::vector<uint16_t> values(rec::kPixels, 8000);
        for (uint32_t n = 1; n <= 3; ++n) {
            rec::PageInfo page;
            page.frame_number = n;
            page.host_time_us = 1700000000000000 + n * 114943;
            page.rbfo_set = "internal";
            w.add(page, values.data());
        }
        w.finish();
    }
    Tiff good;
    {
        std::ifstream in(file, std::ios::binary);
        good.bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_EQ(good.directories().size(), 3U);

    constexpr uint16_t kCompression = 259, kStripOffsets = 273;
    struct Case {
        const char *what;
        std::function<void(Tiff &, uint32_t page2)> damage;
        const char *reason;
    };
    const std::vector<Case> cases = {
        {"strip past the end",
         [&](Tiff &t, uint32_t d) { t.put32(t.value_of(d, kStripOffsets), static_cast<uint32_t>(t.bytes.size())); },
         "page 2 has values past the end of the file"},
        {"compressed", [&](Tiff &t, uint32_t d) { t.put32(t.value_of(d, kCompression), 5); },
         "page 2 is compressed (method 5)"},
        {"page pointing to itself", [&](Tiff &t, uint32_t d) { t.put32(t.next_of(d), d); }, "page 3 can't be read"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Tiff bad = good;
        c.damage(bad, good.directories()[1]);
        std::ofstream(file, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char *>(bad.bytes.data()), static_cast<std::streamsize>(bad.bytes.size()));
        try {
            rec::RecordingReader reader(file);
            ADD_FAILURE() << "opened with " << reader.pages() << " pages";
        } catch (const rec::ReadError &e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
    }
}

} // namespace
