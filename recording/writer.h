// A recording being written: a multi-page TIFF through libtiff, one page a frame, with
// the descriptions of format.h.
//
// What is written stays readable whatever ends the recording. libtiff appends a page's
// values, then links its directory into the file (one pointer in the directory before),
// then writes the directory. The writer holds that link back until the values and the
// directory are on file and then writes it, one small write, before add() returns: at
// every moment the file is a complete TIFF of the pages linked so far, so even a killed
// process leaves one. A write that fails (a full disk, a file-size limit) leaves an
// unlinked half page at the end, which finish() cuts off. Once a second the system is
// asked to start copying the new pages to the disk, so a machine that loses power loses
// little more than that; finish() waits until all of it is there.
//
// A page's values are stored as they are, or losslessly compressed: Deflate over the
// differences between neighbours along each row (TIFF's horizontal predictor), which
// every TIFF reader with Deflate decodes and which shrinks a smooth thermal scene about
// ninefold. Deflate's stream carries a checksum, so a damaged page is found when read.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "link/fd.h"
#include "recording/format.h"
#include "recording/tiff_messages.h"

namespace lep3::recording {

// A page that could not be written; the text names the file and the cause.
class WriteError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class RecordingWriter {
  public:
    // A classic TIFF (what every viewer opens) holds at most 4 GiB: about three and a half
    // hours of uncompressed raw frames at 8.7 a second. BigTIFF has no such limit.
    enum class Container { classic, big };
    // How a page's values are stored.
    enum class Compression { none, deflate };

    // Creates path, which must not exist (a link there is refused, not followed), under a
    // temporary name in its directory first. Throws WriteError.
    RecordingWriter(std::string path, FileInfo file, Container container, Compression compression);
    // Finishes the file if finish() was not called.
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter &) = delete;
    RecordingWriter &operator=(const RecordingWriter &) = delete;

    // Appends one page: values holds kPixels uint16_t for a raw recording, kPixels floats
    // for a Celsius one. Throws WriteError; the pages before it stay, and no other page
    // can be added.
    void add(const PageInfo &page, const void *values);

    // Ends the file keeping its first `keep` pages (at most pages(); fewer only to drop the
    // last page, which keeps two files in step when the other one failed), and returns
    // its size in bytes. A file left without pages is removed: a TIFF needs one. Throws
    // WriteError when the file can't be closed complete.
    uint64_t finish(uint64_t keep);
    uint64_t finish() { return finish(pages_); }

    const std::string &path() const { return path_; }
    uint64_t pages() const { return pages_; }
    // Bytes on disk after the last complete page.
    uint64_t bytes() const { return mark_.size; }

  private:
    // Where the file ends after a complete page, and where the pointer to the next page's
    // directory sits (in the header before the first page).
    struct Mark {
        uint64_t size = 0;
        uint64_t link_at = 0;
    };

    static tmsize_t read_proc(thandle_t self, void *buf, tmsize_t size);
    static tmsize_t write_proc(thandle_t self, void *buf, tmsize_t size);
    static toff_t seek_proc(thandle_t self, toff_t offset, int whence);
    static int close_proc(thandle_t) { return 0; }
    static toff_t size_proc(thandle_t self);
    static int map_proc(thandle_t, void **, toff_t *) { return 0; }
    static void unmap_proc(thandle_t, void *, toff_t) {}

    [[noreturn]] void fail(const std::string &what);
    uint64_t read_word(uint64_t at, size_t bytes) const;
    static uint64_t word_of(const uint8_t *bytes, size_t size);
    void close_file(const Mark &keep);

    std::string path_;
    FileInfo file_;
    Container container_;
    Compression compression_;
    lep3::link::Fd fd_;
    TiffMessages messages_;
    TiffPtr tif_;
    uint64_t pages_ = 0;
    Mark mark_, before_last_;
    uint8_t held_link_[8] = {}; // the link to the page being written, until it is complete
    bool link_held_ = false;
    int write_errno_ = 0; // the first failed write's; no write is tried after it
    bool failed_ = false;
    bool finished_ = false;
    std::chrono::steady_clock::time_point last_sync_;
};

} // namespace lep3::recording
