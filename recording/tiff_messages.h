// libtiff reports trouble through handlers that print on standard error by default. A
// recording's reader and writer each keep their handle's messages instead, and say what
// went wrong in a sentence of their own with libtiff's reason attached.
#pragma once

#include <tiffio.h>

#include <memory>
#include <string>

namespace lep3::recording {

struct TiffCloser {
    void operator()(TIFF *tif) const { TIFFClose(tif); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

class TiffMessages {
  public:
    TiffMessages();
    ~TiffMessages();
    TiffMessages(const TiffMessages &) = delete;
    TiffMessages &operator=(const TiffMessages &) = delete;

    // Options for TIFFOpenExt and TIFFClientOpenExt that route the handle's errors here,
    // drop its warnings, and cap a single allocation, so a corrupt file can't ask for
    // gigabytes.
    TIFFOpenOptions *options() const { return options_; }
    // The first error since the last call ("" if none), and forgets it.
    std::string take();

  private:
    static int on_error(TIFF *, void *self, const char *module, const char *format, va_list args);
    static int on_warning(TIFF *, void *, const char *, const char *, va_list) { return 1; }

    TIFFOpenOptions *options_;
    std::string first_;
};

} // namespace lep3::recording
