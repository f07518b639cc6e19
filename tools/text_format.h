// printf-style formatting into a std::string, for messages and values of any length.
#pragma once

#include <string>

namespace lep3tool {

std::string format_text(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace lep3tool
