#include "hostkit/settings.h"

#include "hostkit/args.h"

namespace lep3tool {

int64_t parse_setting_value(const Setting &s, const std::string &text)
{
    if (text == "on" || text == "true")
        return 1;
    if (text == "off" || text == "false")
        return 0;
    const int64_t v = parse_integer(text, "the value of " + std::string(s.name), std::numeric_limits<int64_t>::min(),
                                    std::numeric_limits<int64_t>::max());
    if (v < s.lo || v > s.hi)
        throw UsageError(out_of_range_message(s, text));
    return v;
}

std::string out_of_range_message(const Setting &s, const std::string &text)
{
    return text + " is out of range for " + std::string(s.name) + ": it takes " + std::string(s.accepts);
}

} // namespace lep3tool
