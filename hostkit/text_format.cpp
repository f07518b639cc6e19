#include "hostkit/text_format.h"

#include <cstdarg>
#include <cstdio>

namespace lep3tool {

std::string format_text(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = vformat_text(format, args);
    va_end(args);
    return text;
}

std::string vformat_text(const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length));
        // vsnprintf writes the terminating zero into the string's own terminator slot.
        (void)std::vsnprintf(text.data(), text.size() + 1, format, again);
    }
    va_end(again);
    return text;
}

} // namespace lep3tool
