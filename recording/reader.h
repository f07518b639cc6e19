// A recording opened for reading, through libtiff: every page is checked once when the
// file is opened (layout and description), then the pages are read one after another,
// as the emulator streams them, as often as the caller starts over. Nothing of the
// pixels is kept between reads, so a recording of any length costs one page of memory.
// Pages are stored as they are or compressed as the writer compresses them; a damaged
// compressed page is found when it is read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "recording/format.h"
#include "recording/tally.h"
#include "recording/tiff_messages.h"

namespace lep3::recording {

// A file that can't be read as a recording; the text names the file and, where it
// applies, the page (counted from 1).
class ReadError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What the opening walk over the pages found.
struct Survey {
    Tally tally;
    uint64_t bytes = 0; // the file's size
    std::optional<float> fpa_min, fpa_max;
    std::optional<Rbfo> first_rbfo; // the first page's that has one
    std::string rbfo_set;           // the first page's set name
    uint64_t rbfo_changes = 0;      // pages whose R, B, F, O differ from the page before's
    uint64_t pages_without_rbfo = 0;
    uint64_t compressed_pages = 0; // stored with Deflate
};

class RecordingReader {
  public:
    // Throws ReadError.
    explicit RecordingReader(const std::string &path);

    const std::string &path() const { return path_; }
    const FileInfo &file() const { return file_; }
    const Survey &survey() const { return survey_; }
    uint64_t pages() const { return survey_.tally.frames; }

    // The next page's description and values (raw recordings: kPixels uint16_t; Celsius
    // ones: kPixels floats, in values' bytes). False after the last page. Throws ReadError.
    bool next(PageInfo &page, std::span<std::byte> values);
    // Back to the first page.
    void rewind();

  private:
    // How a page's values lie in the file.
    enum class Storage { stored, deflate, deflate_differences };
    struct CheckedPage {
        Description description;
        Storage storage = Storage::stored;
    };
    CheckedPage check_page(uint64_t index);
    Storage check_strips(uint64_t index, uint64_t row_bytes);
    uint32_t strip_rows();
    // One strip of the current page into out, which it fills; false when it can't.
    bool read_strip(uint32_t strip, Storage storage, std::span<std::byte> out, size_t sample_bytes);
    [[noreturn]] void fail(uint64_t index, const std::string &what);

    std::string path_;
    TiffMessages messages_;
    TiffPtr tif_;
    FileInfo file_;
    Survey survey_;
    uint64_t position_ = 0;         // the page the handle has loaded and next() returns
    std::vector<std::byte> stream_; // a compressed strip as it lies in the file
};

} // namespace lep3::recording
