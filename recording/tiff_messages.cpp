#include "recording/tiff_messages.h"

#include <cstdarg>
#include <cstdio>
#include <new>

namespace lep3::recording {

namespace {

// Far above what a page of a recording needs (a float page is 76 800 bytes), far below
// what hurts.
constexpr tmsize_t kLargestAllocation = 64 * 1024 * 1024;

} // namespace

TiffMessages::TiffMessages() : options_(TIFFOpenOptionsAlloc())
{
    if (options_ == nullptr)
        throw std::bad_alloc();
    TIFFOpenOptionsSetMaxSingleMemAlloc(options_, kLargestAllocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options_, &TiffMessages::on_error, this);
    TIFFOpenOptionsSetWarningHandlerExtR(options_, &TiffMessages::on_warning, this);
}

TiffMessages::~TiffMessages()
{
    TIFFOpenOptionsFree(options_);
}

std::string TiffMessages::take()
{
    std::string out;
    out.swap(first_);
    return out;
}

int TiffMessages::on_error(TIFF *, void *self, const char *module, const char *format, va_list args)
{
    auto *messages = static_cast<TiffMessages *>(self);
    if (!messages->first_.empty())
        return 1;
    char text[512];
    (void)std::vsnprintf(text, sizeof text, format, args);
    messages->first_ = module != nullptr && *module != '\0' ? std::string(module) + ": " + text : std::string(text);
    return 1; // handled: nothing reaches libtiff's printing handler
}

} // namespace lep3::recording
