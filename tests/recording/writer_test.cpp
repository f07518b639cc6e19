// The recording writer: what it writes reads back exactly, and whatever cuts it off (a
// failed write, a kill) leaves a file that opens with every complete page.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "recording/reader.h"
#include "recording/scratch_dir.h"
#include "recording/writer.h"
#include "support/file_size_limit.h"

namespace {

namespace rec = lep3::recording;
using rec::RecordingWriter;
using rec::WriteError;
using Compression = RecordingWriter::Compression;

struct Page {
    rec::PageInfo info;
    std::vector<std::byte> values;
};

Page make_page(rec::Values values, uint32_t number)
{
    Page p;
    p.info.frame_number = number;
    p.info.host_time_us = 1700000000000000 + int64_t{number} * 114943;
    p.info.check_ok = number % 3 != 0;
    p.info.fpa_celsius = 27.0F + static_cast<float>(number) / 100;
    p.info.rbfo_set = "internal";
    if (number % 4 != 0)
        p.info.rbfo = rec::Rbfo{878900 + number, 1428, 1, 1000};
    if (values == rec::Values::raw) {
        std::vector<uint16_t> raw(rec::kPixels);
        for (size_t i = 0; i < raw.size(); ++i)
            raw[i] = static_cast<uint16_t>(i * 7 + number * 331); // all 16 bits in use
        const auto *bytes = reinterpret_cast<const std::byte *>(raw.data());
        p.values.assign(bytes, bytes + raw.size() * sizeof raw[0]);
    } else {
        std::vector<float> t(rec::kPixels);
        for (size_t i = 0; i < t.size(); ++i)
            t[i] = i % 97 == 0 ? NAN : static_cast<float>(i) / 3.0F - 40.0F + static_cast<float>(number);
        const auto *bytes = reinterpret_cast<const std::byte *>(t.data());
        p.values.assign(bytes, bytes + t.size() * sizeof t[0]);
    }
    return p;
}

rec::FileInfo file_info(rec::Values values)
{
    return {values, "1.1.0", 262, 4322249};
}

// Every page of the file, read through the readers' code.
std::vector<Page> read_back(const std::string &path, rec::Values values)
{
    rec::RecordingReader reader(path);
    EXPECT_EQ(reader.file(), file_info(values));
    std::vector<Page> pages;
    Page p;
    p.values.resize(make_page(values, 1).values.size());
    while (reader.next(p.info, p.values))
        pages.push_back(p);
    EXPECT_EQ(pages.size(), reader.pages());
    return pages;
}

void expect_pages(const std::vector<Page> &got, const std::vector<Page> &want)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_EQ(got[k].info, want[k].info) << "page " << k + 1;
        EXPECT_TRUE(got[k].values == want[k].values) << "values of page " << k + 1; // bit for bit, NaN too
    }
}

using RecordingWriterTest = lep3::test::ScratchDirTest;

TEST_F(RecordingWriterTest, PagesReadBackExactlyInEveryContainerKindAndCompression)
{
    struct Case {
        RecordingWriter::Container container;
        rec::Values values;
        Compression compression;
    };
    std::vector<Case> cases;
    for (const auto container : {RecordingWriter::Container::classic, RecordingWriter::Container::big})
        for (const auto values : {rec::Values::raw, rec::Values::celsius})
            for (const auto compression : {Compression::none, Compression::deflate})
                cases.push_back({container, values, compression});
    for (const Case &c : cases) {
        const bool big = c.container == RecordingWriter::Container::big;
        const bool deflate = c.compression == Compression::deflate;
        SCOPED_TRACE(std::string(big ? "BigTIFF " : "TIFF ") + (c.values == rec::Values::raw ? "raw" : "celsius") +
                     (deflate ? " Deflate" : ""));
        const std::string file = path("recording.tif");
        std::filesystem::remove(file);
        std::vector<Page> want;
        RecordingWriter w(file, file_info(c.values), c.container, c.compression);
        for (const uint32_t n : {3U, 4U, 8U, 9U}) {
            want.push_back(make_page(c.values, n));
            w.add(want.back().info, want.back().values.data()); // and leaves them as they were
        }
        EXPECT_EQ(w.finish(), std::filesystem::file_size(file));
        expect_pages(read_back(file, c.values), want);
        EXPECT_EQ(rec::RecordingReader(file).survey().compressed_pages, deflate ? want.size() : 0U);
        char magic[4] = {};
        std::ifstream(file, std::ios::binary).read(magic, 4);
        EXPECT_EQ(magic[2] | magic[3], big ? 43 : 42);
    }
}

TEST_F(RecordingWriterTest, FailedWriteLeavesAFileOfEveryCompletePage)
{
    std::vector<Page> pages;
    for (uint32_t n = 1; n <= 4; ++n)
        pages.push_back(make_page(rec::Values::raw, n));
    const std::vector<Page> complete(pages.begin(), pages.begin() + 3);
    for (const auto compression : {Compression::none, Compression::deflate}) {
        SCOPED_TRACE(compression == Compression::deflate ? "Deflate" : "uncompressed");
        const std::string file = path("full.tif");
        std::filesystem::remove(file);
        uint64_t two_pages = 0, three_pages = 0;
        {
            RecordingWriter w(file, file_info(rec::Values::raw), RecordingWriter::Container::classic, compression);
            for (const Page &p : complete) {
                w.add(p.info, p.values.data());
                two_pages = w.pages() == 2 ? w.bytes() : two_pages;
            }
            three_pages = w.finish();
        }
        // The fourth page stops anywhere inside its values, its description or its directory.
        const uint64_t page = three_pages - two_pages;
        for (uint64_t room = 1; room < page; room += page / 7) {
            SCOPED_TRACE(room);
            std::filesystem::remove(file);
            RecordingWriter w(file, file_info(rec::Values::raw), RecordingWriter::Container::classic, compression);
            {
                const lep3::test::FileSizeLimit limit(three_pages + room);
                std::string error;
                try {
                    for (const Page &p : pages)
                        w.add(p.info, p.values.data());
                } catch (const WriteError &e) {
                    error = e.what();
                }
                EXPECT_NE(error.find("cannot write page 4 of " + file), std::string::npos) << error;
                EXPECT_NE(error.find(std::strerror(EFBIG)), std::string::npos) << error;
                EXPECT_THROW(w.add(pages[0].info, pages[0].values.data()), WriteError);
                EXPECT_EQ(w.pages(), 3U);
                // Complete as it stands, as a killed recorder would leave it: the half page
                // was never linked in.
                EXPECT_EQ(rec::RecordingReader(file).pages(), 3U);
                EXPECT_EQ(w.finish(), three_pages);
            }
            expect_pages(read_back(file, rec::Values::raw), complete);
            EXPECT_EQ(std::filesystem::file_size(file), three_pages);
        }
    }
}

TEST_F(RecordingWriterTest, KilledWriterLeavesAFileOfEveryPageItLinked)
{
    const std::string file = path("killed.tif");
    int done_pipe[2];
    ASSERT_EQ(pipe(done_pipe), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(done_pipe[0]);
        RecordingWriter w(file, file_info(rec::Values::raw), RecordingWriter::Container::classic, Compression::deflate);
        for (uint32_t n = 1;; ++n) {
            const Page p = make_page(rec::Values::raw, n);
            w.add(p.info, p.values.data());
            if (write(done_pipe[1], &n, sizeof n) != sizeof n)
                _exit(1);
        }
    }
    close(done_pipe[1]);
    uint32_t done = 0;
    while (done < 20 && read(done_pipe[0], &done, sizeof done) == sizeof done) {
    }
    kill(child, SIGKILL); // most likely in the middle of a page
    waitpid(child, nullptr, 0);
    close(done_pipe[0]);
    ASSERT_GE(done, 20U);

    std::vector<Page> want;
    rec::RecordingReader reader(file);
    for (uint32_t n = 1; n <= reader.pages(); ++n)
        want.push_back(make_page(rec::Values::raw, n));
    EXPECT_GE(want.size(), done);
    expect_pages(read_back(file, rec::Values::raw), want);
}

} // namespace
