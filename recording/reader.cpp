#include "recording/reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace lep3::recording {

namespace {

uint32_t bits_of(Values v)
{
    return v == Values::raw ? 16 : 32;
}

uint16_t sample_format_of(Values v)
{
    return v == Values::raw ? SAMPLEFORMAT_UINT : SAMPLEFORMAT_IEEEFP;
}

const char *values_text(Values v)
{
    return v == Values::raw ? "16-bit unsigned" : "32-bit float";
}

} // namespace

RecordingReader::RecordingReader(const std::string &path) : path_(path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throw ReadError("cannot open " + path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        throw ReadError(path + " is not a file");
    survey_.bytes = static_cast<uint64_t>(st.st_size);

    // "m": read with read(2), not a mapping, so a file cut short under the reader gives an
    // error instead of a bus error.
    tif_.reset(TIFFOpenExt(path.c_str(), "rm", messages_.options()));
    if (!tif_) {
        const std::string why = messages_.take();
        throw ReadError(path + " is not a TIFF file" + (why.empty() ? "" : " (" + why + ")"));
    }

    const Description first = check_page(0);
    if (!first.file)
        fail(0, "has no lines of the recording as a whole (Values, Library version, ...)");
    file_ = *first.file;
    std::optional<Rbfo> previous;
    for (uint64_t index = 0;; ++index) {
        const Description d = index == 0 ? first : check_page(index);
        const PageInfo &page = d.page;
        if (page.fpa_celsius) {
            survey_.fpa_min = std::min(survey_.fpa_min.value_or(*page.fpa_celsius), *page.fpa_celsius);
            survey_.fpa_max = std::max(survey_.fpa_max.value_or(*page.fpa_celsius), *page.fpa_celsius);
        }
        if (!page.rbfo)
            ++survey_.pages_without_rbfo;
        else if (!survey_.first_rbfo)
            survey_.first_rbfo = page.rbfo;
        if (index == 0)
            survey_.rbfo_set = page.rbfo_set;
        else if (page.rbfo && previous && *page.rbfo != *previous)
            ++survey_.rbfo_changes;
        if (page.rbfo)
            previous = page.rbfo;
        survey_.tally.add(page);
        // The chain ends where a page points to no next one; any other page that can't be
        // read (one pointing back into the chain, or past the end) is a fault, not the end.
        if (TIFFLastDirectory(tif_.get()))
            break;
        if (!TIFFReadDirectory(tif_.get())) {
            const std::string why = messages_.take();
            fail(index + 1, "can't be read (" + (why.empty() ? "the chain of pages loops back" : why) + ")");
        }
    }
    rewind();
}

void RecordingReader::fail(uint64_t index, const std::string &what)
{
    throw ReadError(path_ + ": page " + std::to_string(index + 1) + " " + what);
}

Description RecordingReader::check_page(uint64_t index)
{
    TIFF *tif = tif_.get();
    uint32_t width = 0, height = 0;
    uint16_t samples = 1, bits = 1, format = SAMPLEFORMAT_UINT;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    if (width != kWidth || height != kHeight)
        fail(index, "is " + std::to_string(width) + "x" + std::to_string(height) + ", not 160x120");
    if (TIFFIsTiled(tif))
        fail(index, "is made of tiles, not strips");
    char *text = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &text) || text == nullptr || !is_recording_description(text))
        fail(index, "is not a lep3 recording's: it has no recording description");
    Description d;
    try {
        d = parse_description(text);
    } catch (const FormatError &e) {
        fail(index, std::string("has a broken description: ") + e.what());
    }
    const Values values = index == 0 && d.file ? d.file->values : file_.values;
    if (samples != 1 || bits != bits_of(values) || format != sample_format_of(values))
        fail(index, std::string("does not hold one ") + values_text(values) + " sample a pixel");
    check_strips(index, kWidth * (bits_of(values) / 8));
    return d;
}

// Every value of the page is in the file: its strips are stored as they are (as the
// writer stores them), and each lies whole inside the file.
void RecordingReader::check_strips(uint64_t index, uint64_t row_bytes)
{
    TIFF *tif = tif_.get();
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    if (compression != COMPRESSION_NONE)
        fail(index, "is compressed (method " + std::to_string(compression) + "); a recording's pages are not");
    uint32_t rows_per_strip = kHeight;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    rows_per_strip = std::clamp<uint32_t>(rows_per_strip, 1, kHeight);
    const uint32_t strips = (kHeight + rows_per_strip - 1) / rows_per_strip;
    if (TIFFNumberOfStrips(tif) != strips)
        fail(index, "has " + std::to_string(TIFFNumberOfStrips(tif)) + " strips, not " + std::to_string(strips));
    for (uint32_t s = 0; s < strips; ++s) {
        const uint64_t rows = std::min<uint64_t>(rows_per_strip, kHeight - uint64_t{s} * rows_per_strip);
        const uint64_t offset = TIFFGetStrileOffset(tif, s);
        const uint64_t bytes = TIFFGetStrileByteCount(tif, s);
        if (bytes < rows * row_bytes || offset > survey_.bytes || survey_.bytes - offset < rows * row_bytes)
            fail(index, "has values past the end of the file (strip " + std::to_string(s + 1) + ")");
    }
}

bool RecordingReader::next(PageInfo &page, std::span<std::byte> values)
{
    if (position_ >= pages())
        return false;
    const size_t row_bytes = kWidth * (bits_of(file_.values) / 8);
    if (values.size() < row_bytes * kHeight)
        throw ReadError(path_ + ": a page of " + std::to_string(row_bytes * kHeight) + " bytes does not fit");
    const Description d = check_page(position_);
    for (uint32_t y = 0; y < kHeight; ++y) {
        if (TIFFReadScanline(tif_.get(), values.data() + y * row_bytes, y, 0) < 0) {
            const std::string why = messages_.take();
            fail(position_, "is damaged at row " + std::to_string(y + 1) + (why.empty() ? "" : " (" + why + ")"));
        }
    }
    page = d.page;
    ++position_;
    if (position_ < pages() && !TIFFReadDirectory(tif_.get()))
        fail(position_, "can't be read (" + messages_.take() + ")");
    return true;
}

void RecordingReader::rewind()
{
    if (!TIFFSetDirectory(tif_.get(), 0))
        fail(0, "can't be read again (" + messages_.take() + ")");
    position_ = 0;
}

} // namespace lep3::recording
