#include "recording/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "files/output_file.h"

namespace lep3::recording {

namespace {

// The directory layout the repair has to know: where a directory's entry count, entries
// and pointer to the next directory lie.
struct Layout {
    uint64_t first_link;  // the header's pointer to the first directory
    size_t count_bytes;   // the entry count at the start of a directory
    size_t entry_bytes;   // one entry
    size_t pointer_bytes; // the pointer to the next directory, after the entries
};
constexpr Layout kClassic = {4, 2, 12, 4};
constexpr Layout kBig = {8, 8, 20, 8};

// Room kept below 4 GiB for a page's directory and description, and for the few bytes a
// Deflate stream adds to values it cannot shrink.
constexpr uint64_t kClassicLimit = (uint64_t{1} << 32) - uint64_t{64} * 1024;
constexpr auto kSyncEvery = std::chrono::seconds(1);
// Deflate's middle level: on a smooth scene the levels above it save a few per cent at a
// half to a tenth of its speed, those below give files a quarter to twice as large.
constexpr int kDeflateLevel = 6;

const Layout &layout_of(RecordingWriter::Container c)
{
    return c == RecordingWriter::Container::big ? kBig : kClassic;
}

size_t page_bytes(Values values)
{
    return kPixels * (values == Values::raw ? sizeof(uint16_t) : sizeof(float));
}

// The TIFF DateTime tag: "YYYY:MM:DD HH:MM:SS", here in UTC.
std::string tiff_date_time(int64_t us)
{
    const auto secs = static_cast<std::time_t>(us / 1000000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[32];
    const size_t n = std::strftime(buf, sizeof buf, "%Y:%m:%d %H:%M:%S", &tm);
    return std::string(buf, n);
}

} // namespace

RecordingWriter::RecordingWriter(std::string path, FileInfo file, Container container, Compression compression)
    : path_(std::move(path)), file_(std::move(file)), container_(container), compression_(compression),
      last_sync_(std::chrono::steady_clock::now())
{
    files::Temporary created;
    try {
        created = files::create_beside(path_);
    } catch (const files::FileError &e) {
        throw WriteError(e.what());
    }
    fd_ = std::move(created.fd);
    tif_.reset(TIFFClientOpenExt(path_.c_str(), container == Container::big ? "w8" : "w", this, read_proc, write_proc,
                                 seek_proc, close_proc, size_proc, map_proc, unmap_proc, messages_.options()));
    if (!tif_) {
        const std::string why = write_errno_ != 0 ? std::strerror(write_errno_) : messages_.take();
        (void)::unlink(created.path.c_str());
        throw WriteError("cannot create " + path_ + ": " + why);
    }
    // The header is there: the file takes its name, which nothing may hold already.
    try {
        files::publish(created.path, path_, files::Existing::refuse);
    } catch (const files::FileError &e) {
        tif_.reset();
        (void)::unlink(created.path.c_str());
        throw WriteError(e.what());
    }
    mark_ = {size_proc(this), layout_of(container).first_link};
    before_last_ = mark_;
}

RecordingWriter::~RecordingWriter()
{
    if (finished_)
        return;
    try {
        finish();
    } catch (const WriteError &) {
        // Already said where it mattered: finish() is called explicitly on every path
        // that reports.
    }
}

void RecordingWriter::fail(const std::string &what)
{
    failed_ = true;
    std::string why = write_errno_ != 0 ? std::strerror(write_errno_) : messages_.take();
    throw WriteError("cannot write page " + std::to_string(pages_ + 1) + " of " + path_ + ": " + what +
                     (why.empty() ? "" : " (" + why + ")"));
}

void RecordingWriter::add(const PageInfo &page, const void *values)
{
    if (failed_ || finished_)
        throw WriteError("cannot write page " + std::to_string(pages_ + 1) + " of " + path_ + ": it is closed");
    const bool raw = file_.values == Values::raw;
    const size_t bytes = page_bytes(file_.values);
    if (container_ == Container::classic && mark_.size + bytes > kClassicLimit)
        fail("the file has reached 4 GiB, the most a classic TIFF holds");

    TIFF *tif = tif_.get();
    const std::string description = describe_page(page, pages_ == 0 ? &file_ : nullptr);
    const std::string software = "lep3 " + file_.library_version;
    const std::string when = tiff_date_time(page.host_time_us);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, raw ? 16 : 32);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, raw ? SAMPLEFORMAT_UINT : SAMPLEFORMAT_IEEEFP);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    const bool deflate = compression_ == Compression::deflate;
    TIFFSetField(tif, TIFFTAG_COMPRESSION, deflate ? COMPRESSION_ADOBE_DEFLATE : COMPRESSION_NONE);
    if (deflate) {
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        TIFFSetField(tif, TIFFTAG_ZIPQUALITY, kDeflateLevel);
    }
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, kHeight);
    TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    TIFFSetField(tif, TIFFTAG_SOFTWARE, software.c_str());
    TIFFSetField(tif, TIFFTAG_DATETIME, when.c_str());
    // The file is in the host's byte order, so libtiff writes the caller's values as they
    // are and never swaps them in place; it takes the differences of a copy.
    if (TIFFWriteEncodedStrip(tif, 0, const_cast<void *>(values), static_cast<tmsize_t>(bytes)) < 0)
        fail("its values were not written");
    if (!TIFFWriteDirectory(tif))
        fail("its directory was not written");
    const Layout &l = layout_of(container_);
    if (!link_held_)
        fail("libtiff did not link its directory");
    // The page is complete on file: now it may be linked in.
    if (::pwrite(fd_.get(), held_link_, l.pointer_bytes, static_cast<off_t>(mark_.link_at)) !=
        static_cast<ssize_t>(l.pointer_bytes)) {
        write_errno_ = errno;
        fail("its directory was not linked");
    }
    link_held_ = false;

    // The new directory's own pointer to a next one follows its entries.
    const uint64_t directory = word_of(held_link_, l.pointer_bytes);
    const uint64_t entries = read_word(directory, l.count_bytes);
    before_last_ = mark_;
    mark_ = {size_proc(this), directory + l.count_bytes + entries * l.entry_bytes};
    ++pages_;

    // Start the disk's copy once a second without waiting for it: waiting could take
    // longer than a frame on a slow card, and a frame not taken in time is lost.
    const auto now = std::chrono::steady_clock::now();
    if (now - last_sync_ >= kSyncEvery) {
        last_sync_ = now;
        (void)::sync_file_range(fd_.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
}

uint64_t RecordingWriter::read_word(uint64_t at, size_t bytes) const
{
    uint8_t buf[8] = {};
    if (::pread(fd_.get(), buf, bytes, static_cast<off_t>(at)) != static_cast<ssize_t>(bytes))
        return 0;
    return word_of(buf, bytes);
}

uint64_t RecordingWriter::word_of(const uint8_t *buf, size_t bytes)
{
    // The file is in host byte order.
    switch (bytes) {
    case 2: {
        uint16_t v;
        std::memcpy(&v, buf, sizeof v);
        return v;
    }
    case 4: {
        uint32_t v;
        std::memcpy(&v, buf, sizeof v);
        return v;
    }
    default: {
        uint64_t v;
        std::memcpy(&v, buf, sizeof v);
        return v;
    }
    }
}

uint64_t RecordingWriter::finish(uint64_t keep)
{
    if (finished_)
        return mark_.size;
    finished_ = true;
    if (keep + 1 < pages_ || keep > pages_)
        keep = pages_;
    const bool cut = failed_ || keep < pages_;
    const Mark target = keep < pages_ ? before_last_ : mark_;
    // Whatever libtiff still wants to write on closing belongs to no complete page.
    failed_ = failed_ || cut;
    tif_.reset();

    bool ok = true;
    if (cut) {
        const Layout &l = layout_of(container_);
        const uint8_t zero[8] = {};
        ok = ::ftruncate(fd_.get(), static_cast<off_t>(target.size)) == 0 &&
             ::pwrite(fd_.get(), zero, l.pointer_bytes, static_cast<off_t>(target.link_at)) ==
                 static_cast<ssize_t>(l.pointer_bytes);
    }
    pages_ = keep;
    mark_ = target;
    if (keep == 0) {
        (void)::unlink(path_.c_str());
        fd_.reset();
        return 0;
    }
    ok = ::fsync(fd_.get()) == 0 && ok;
    const int err = errno;
    ok = ::close(fd_.release()) == 0 && ok;
    if (!ok)
        throw WriteError("cannot complete " + path_ + ": " + std::strerror(err));
    return target.size;
}

tmsize_t RecordingWriter::read_proc(thandle_t self, void *buf, tmsize_t size)
{
    auto *w = static_cast<RecordingWriter *>(self);
    return ::read(w->fd_.get(), buf, static_cast<size_t>(size));
}

tmsize_t RecordingWriter::write_proc(thandle_t self, void *buf, tmsize_t size)
{
    auto *w = static_cast<RecordingWriter *>(self);
    if (w->failed_)
        return -1;
    const auto *p = static_cast<const uint8_t *>(buf);
    // libtiff links a new directory in before it writes it; held back, the link goes out
    // in add() once the directory is on file.
    const Layout &l = layout_of(w->container_);
    if (static_cast<size_t>(size) == l.pointer_bytes &&
        ::lseek(w->fd_.get(), 0, SEEK_CUR) == static_cast<off_t>(w->mark_.link_at)) {
        std::memcpy(w->held_link_, p, l.pointer_bytes);
        w->link_held_ = true;
        return ::lseek(w->fd_.get(), size, SEEK_CUR) < 0 ? -1 : size;
    }
    tmsize_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(w->fd_.get(), p + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            w->write_errno_ = n < 0 ? errno : ENOSPC;
            w->failed_ = true;
            return -1;
        }
        done += n;
    }
    return done;
}

toff_t RecordingWriter::seek_proc(thandle_t self, toff_t offset, int whence)
{
    auto *w = static_cast<RecordingWriter *>(self);
    const off_t at = ::lseek(w->fd_.get(), static_cast<off_t>(offset), whence);
    return at < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(at);
}

toff_t RecordingWriter::size_proc(thandle_t self)
{
    auto *w = static_cast<RecordingWriter *>(self);
    struct stat st;
    return ::fstat(w->fd_.get(), &st) == 0 ? static_cast<toff_t>(st.st_size) : 0;
}

} // namespace lep3::recording
