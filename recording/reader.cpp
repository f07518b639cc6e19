#include "recording/reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "recording/compressed_strip.h"

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

    const CheckedPage first = check_page(0);
    if (!first.description.file)
        fail(0, "has no lines of the recording as a whole (Values, Library version, ...)");
    file_ = *first.description.file;
    std::optional<Rbfo> previous;
    for (uint64_t index = 0;; ++index) {
        const CheckedPage checked = index == 0 ? first : check_page(index);
        const PageInfo &page = checked.description.page;
        survey_.compressed_pages += checked.storage == Storage::stored ? 0 : 1;
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

RecordingReader::CheckedPage RecordingReader::check_page(uint64_t index)
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
    return {d, check_strips(index, uint64_t{kWidth} * (bits_of(values) / 8))};
}

// Every value of the page is in the file, stored as the writer stores them: as they are,
// or Deflate over horizontal differences; no other of libtiff's decoders ever sees a
// recording's bytes. A stored strip holds all its values, a compressed one no more bytes
// than Deflate can take for them, and each lies whole inside the file.
RecordingReader::Storage RecordingReader::check_strips(uint64_t index, uint64_t row_bytes)
{
    TIFF *tif = tif_.get();
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    if (compression != COMPRESSION_NONE && compression != COMPRESSION_ADOBE_DEFLATE)
        fail(index, "is compressed with method " + std::to_string(compression) +
                        "; a recording's pages are stored as they are or with Deflate");
    Storage storage = Storage::stored;
    if (compression == COMPRESSION_ADOBE_DEFLATE) {
        // Asked only of a compressed page: the tag is the codec's.
        uint16_t predictor = PREDICTOR_NONE;
        TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &predictor);
        if (predictor != PREDICTOR_NONE && predictor != PREDICTOR_HORIZONTAL)
            fail(index, "is predicted with method " + std::to_string(predictor) +
                            "; a recording's pages use horizontal differencing or none");
        storage = predictor == PREDICTOR_HORIZONTAL ? Storage::deflate_differences : Storage::deflate;
    }
    const uint32_t rows_per_strip = strip_rows();
    const uint32_t strips = (kHeight + rows_per_strip - 1) / rows_per_strip;
    if (TIFFNumberOfStrips(tif) != strips)
        fail(index, "has " + std::to_string(TIFFNumberOfStrips(tif)) + " strips, not " + std::to_string(strips));
    for (uint32_t s = 0; s < strips; ++s) {
        const uint64_t values = std::min<uint64_t>(rows_per_strip, kHeight - uint64_t{s} * rows_per_strip) * row_bytes;
        const uint64_t offset = TIFFGetStrileOffset(tif, s);
        const uint64_t bytes = TIFFGetStrileByteCount(tif, s);
        const bool stored = storage == Storage::stored;
        const uint64_t read = stored ? values : bytes; // what reading the strip takes of the file
        if (offset > survey_.bytes || survey_.bytes - offset < read)
            fail(index, "has values past the end of the file (strip " + std::to_string(s + 1) + ")");
        if (stored ? bytes < values : bytes == 0 || bytes > longest_stream(values))
            fail(index, "has a strip of " + std::to_string(bytes) + " bytes for " + std::to_string(values) +
                            " bytes of values (strip " + std::to_string(s + 1) + ")");
    }
    return storage;
}

uint32_t RecordingReader::strip_rows()
{
    uint32_t rows_per_strip = kHeight;
    TIFFGetFieldDefaulted(tif_.get(), TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    return std::clamp<uint32_t>(rows_per_strip, 1, kHeight);
}

bool RecordingReader::read_strip(uint32_t strip, Storage storage, std::span<std::byte> out, size_t sample_bytes)
{
    TIFF *tif = tif_.get();
    const auto size = static_cast<tmsize_t>(out.size());
    if (storage == Storage::stored)
        return TIFFReadEncodedStrip(tif, strip, out.data(), size) == size;
    // The strip's length was checked against the file and against Deflate's longest.
    stream_.resize(TIFFGetStrileByteCount(tif, strip));
    const auto stream_size = static_cast<tmsize_t>(stream_.size());
    if (TIFFReadRawStrip(tif, strip, stream_.data(), stream_size) != stream_size || !inflate_exactly(stream_, out))
        return false;
    if (TIFFIsByteSwapped(tif)) {
        if (sample_bytes == sizeof(uint16_t))
            TIFFSwabArrayOfShort(reinterpret_cast<uint16_t *>(out.data()), size / 2);
        else
            TIFFSwabArrayOfLong(reinterpret_cast<uint32_t *>(out.data()), size / 4);
    }
    if (storage == Storage::deflate_differences)
        add_up_rows(out, kWidth * sample_bytes, sample_bytes);
    return true;
}

bool RecordingReader::next(PageInfo &page, std::span<std::byte> values)
{
    if (position_ >= pages())
        return false;
    const size_t sample_bytes = bits_of(file_.values) / 8;
    const size_t row_bytes = kWidth * sample_bytes;
    if (values.size() < row_bytes * kHeight)
        throw ReadError(path_ + ": a page of " + std::to_string(row_bytes * kHeight) + " bytes does not fit");
    const CheckedPage checked = check_page(position_);
    const uint32_t rows_per_strip = strip_rows();
    for (uint32_t y = 0, s = 0; y < kHeight; y += rows_per_strip, ++s) {
        const auto out = values.subspan(y * row_bytes, std::min(rows_per_strip, kHeight - y) * row_bytes);
        if (!read_strip(s, checked.storage, out, sample_bytes)) {
            const std::string why = messages_.take();
            fail(position_, "is damaged from row " + std::to_string(y + 1) + (why.empty() ? "" : " (" + why + ")"));
        }
    }
    page = checked.description.page;
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
