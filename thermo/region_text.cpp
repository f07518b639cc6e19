#include "thermo/region_text.h"

#include <charconv>
#include <stdexcept>
#include <vector>

namespace lep3::thermo {

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;

bool name_character(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

std::vector<int> coordinates(std::string_view text, std::string_view what)
{
    std::vector<int> out;
    while (true) {
        const size_t comma = text.find(',');
        const std::string_view part = text.substr(0, comma);
        int value = 0;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || error != std::errc() || end != part.data() + part.size())
            throw std::invalid_argument(std::string(what) + ": '" + std::string(part) + "' is not a whole number");
        out.push_back(value);
        if (comma == std::string_view::npos)
            return out;
        text = text.substr(comma + 1);
    }
}

} // namespace

std::string_view region_kind_name(int kind)
{
    switch (kind) {
    case LEP3_REGION_SPOT:
        return "spot";
    case LEP3_REGION_BOX:
        return "box";
    case LEP3_REGION_LINE:
        return "line";
    default:
        return "region";
    }
}

NamedRegion parse_region(int kind, std::string_view text, int ordinal)
{
    const std::string kind_name(region_kind_name(kind));
    NamedRegion r{kind_name + std::to_string(ordinal), lep3_region_t{kind, 0, 0, 0, 0}};
    if (const size_t eq = text.find('='); eq != std::string_view::npos) {
        const std::string_view name = text.substr(0, eq);
        if (name.empty())
            throw std::invalid_argument(kind_name + " '" + std::string(text) + "': the name before '=' is empty");
        for (const char c : name)
            if (!name_character(c))
                throw std::invalid_argument(kind_name + " name '" + std::string(name) +
                                            "' may hold only letters, digits, '_' and '-'");
        r.name = name;
        text = text.substr(eq + 1);
    }
    const std::string what = kind_name + " " + r.name;
    const std::vector<int> xy = coordinates(text, what);
    const size_t wanted = kind == LEP3_REGION_SPOT ? 2 : 4;
    if (xy.size() != wanted)
        throw std::invalid_argument(what + " takes " + (wanted == 2 ? "X,Y" : "X0,Y0,X1,Y1") + ", not '" +
                                    std::string(text) + "'");
    for (size_t i = 0; i < xy.size(); ++i) {
        const int limit = i % 2 == 0 ? kWidth : kHeight;
        if (xy[i] < 0 || xy[i] >= limit)
            throw std::invalid_argument(what + ": " + (i % 2 == 0 ? "x " : "y ") + std::to_string(xy[i]) +
                                        " lies outside 0.." + std::to_string(limit - 1));
    }
    r.region.x0 = xy[0];
    r.region.y0 = xy[1];
    r.region.x1 = wanted == 4 ? xy[2] : xy[0];
    r.region.y1 = wanted == 4 ? xy[3] : xy[1];
    return r;
}

} // namespace lep3::thermo
