// Command-line parsing, the raw range of colour pictures, and the names of palettes and settings.
#include "hostkit/args.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "hostkit/frame_range.h"
#include "hostkit/settings.h"
#include "names/palettes.h"

namespace {

using lep3tool::UsageError;
using Strings = std::vector<std::string>;

constexpr lep3tool::OptionDef kOptions[] = {{"count", 'n', "N", ""}, {"temps", 't', "", ""}};

lep3tool::ParsedArgs parse(Strings args)
{
    return lep3tool::parse_args(args, kOptions);
}

TEST(ArgsTest, OptionsPositionalsIntegersAndMistakes)
{
    for (const Strings &args : {Strings{"--count", "3"}, Strings{"--count=3"}, Strings{"-n", "3"}, Strings{"-n3"}})
        EXPECT_EQ(parse(args).value("count"), "3") << args[0];
    const auto a = parse({"--sim", "-t", "-d", "/dev/x", "word"});
    EXPECT_TRUE(a.has("sim") && a.has("temps"));
    EXPECT_EQ(a.value("device"), "/dev/x");
    EXPECT_EQ(a.positionals(), Strings{"word"});
    // Negative numbers and what follows -- are positionals.
    EXPECT_EQ(parse({"shutter-position", "-1"}).positionals(), (Strings{"shutter-position", "-1"}));
    EXPECT_EQ(parse({"--", "--count"}).positionals(), Strings{"--count"});
    for (const Strings &args : {Strings{"--bogus"}, Strings{"-x"}, Strings{"--count"}, Strings{"--temps=1"}})
        EXPECT_THROW(parse(args), UsageError) << args[0];
    // Integers are whole and in range.
    EXPECT_EQ(lep3tool::parse_integer("010", "n", 0, 100), 10); // not octal
    EXPECT_EQ(lep3tool::parse_integer("0x1F", "n", 0, 100), 31);
    for (const char *bad : {"101", "1.5", "", "99999999999999999999"})
        EXPECT_THROW(lep3tool::parse_integer(bad, "n", 0, 100), UsageError) << bad;
}

TEST(ArgsTest, FrameRangeAndNames)
{
    EXPECT_EQ(lep3tool::FrameRange::parse("held").mode, lep3tool::FrameRange::Mode::held);
    for (const char *bad : {"9000:1000", "5:5", "0:70000", "hot", "35C:20C", "20C:3000", "p1:99", "p50:p101"})
        EXPECT_THROW(lep3tool::FrameRange::parse(bad), UsageError) << bad;
    std::vector<uint16_t> raw(size_t{160} * 120, 100); // below the range, then above it
    std::fill(raw.begin() + 160 * 60, raw.end(), 60000);
    std::vector<uint8_t> gray8(raw.size());
    uint16_t lo = 0, hi = 0;
    lep3tool::GreyConverter(lep3tool::FrameRange::parse("1000:9000"), std::nullopt)
        .convert(raw.data(), gray8.data(), lo, hi);
    EXPECT_EQ((std::array<int, 4>{lo, hi, gray8[160 * 10 + 10], gray8[160 * 110 + 10]}),
              (std::array<int, 4>{1000, 9000, 0, 255}));
    // Palettes by name or number; settings by name or alias.
    EXPECT_EQ(lep3::names::palette_by_name("fusion"), 0u);
    EXPECT_EQ(lep3::names::palette_by_name("grayfusion"), 10u);
    EXPECT_EQ(lep3::names::palette_by_name("10"), 10u);
    EXPECT_EQ(lep3::names::palette_by_name("GrayFusion"), 10u);
    for (const char *bad : {"11", "irons", ""})
        EXPECT_FALSE(lep3::names::palette_by_name(bad)) << bad;
    ASSERT_NE(lep3tool::find_setting("vid"), nullptr);
    EXPECT_EQ(lep3tool::find_setting("vid"), lep3tool::find_setting("video-format"));
    EXPECT_EQ(lep3tool::find_setting("nope"), nullptr);
}

} // namespace
