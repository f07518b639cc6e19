// Command-line parsing and the names of palettes and settings.
#include "tools/args.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tools/palette_names.h"
#include "tools/settings.h"

namespace {

using lep3tool::OptionSpec;
using lep3tool::parse_args;
using lep3tool::UsageError;

constexpr OptionSpec kSpecs[] = {
    {"count", 'n', "N", ""},
    {"temps", 't', "", ""},
};

lep3tool::ParsedArgs parse(std::vector<std::string> args)
{
    return parse_args(args, kSpecs);
}

TEST(ArgsTest, ValuesInEveryFormAndGlobalOptions)
{
    EXPECT_EQ(parse({"--count", "3"}).value("count"), "3");
    EXPECT_EQ(parse({"--count=4"}).value("count"), "4");
    EXPECT_EQ(parse({"-n", "5"}).value("count"), "5");
    EXPECT_EQ(parse({"-n6"}).value("count"), "6");
    const auto a = parse({"--sim", "-t", "-d", "/dev/x", "word"});
    EXPECT_TRUE(a.has("sim"));
    EXPECT_TRUE(a.has("temps"));
    EXPECT_EQ(a.value("device"), "/dev/x");
    EXPECT_EQ(a.positionals(), std::vector<std::string>{"word"});
}

TEST(ArgsTest, NegativeNumbersAndDoubleDashArePositionals)
{
    EXPECT_EQ(parse({"shutter-position", "-1"}).positionals(), (std::vector<std::string>{"shutter-position", "-1"}));
    EXPECT_EQ(parse({"--", "--count"}).positionals(), std::vector<std::string>{"--count"});
}

TEST(ArgsTest, MistakesAreUsageErrors)
{
    EXPECT_THROW(parse({"--bogus"}), UsageError);
    EXPECT_THROW(parse({"-x"}), UsageError);
    EXPECT_THROW(parse({"--count"}), UsageError); // value missing
    EXPECT_THROW(parse({"--temps=1"}), UsageError);
}

TEST(ArgsTest, IntegersAreWholeAndInRange)
{
    EXPECT_EQ(lep3tool::parse_integer("10", "n", 0, 100), 10);
    EXPECT_EQ(lep3tool::parse_integer("010", "n", 0, 100), 10); // not octal
    EXPECT_EQ(lep3tool::parse_integer("0x1F", "n", 0, 100), 31);
    EXPECT_EQ(lep3tool::parse_integer("-3", "n", -5, 5), -3);
    EXPECT_THROW(lep3tool::parse_integer("101", "n", 0, 100), UsageError);
    EXPECT_THROW(lep3tool::parse_integer("1.5", "n", 0, 100), UsageError);
    EXPECT_THROW(lep3tool::parse_integer("", "n", 0, 100), UsageError);
    EXPECT_THROW(lep3tool::parse_integer("99999999999999999999", "n", 0, 100), UsageError);
}

TEST(PaletteNamesTest, ElevenNamesMapToTheirNumbers)
{
    const char *names[] = {"fusion",   "rainbow", "globow", "icefire", "ironblack", "whitehot",
                           "blackhot", "rain",    "iron",   "greyred", "grayfusion"};
    for (uint32_t i = 0; i < 11; ++i)
        EXPECT_EQ(lep3tool::palette_by_name(names[i]), i) << names[i];
    EXPECT_EQ(lep3tool::palette_by_name("10"), 10u);
    EXPECT_FALSE(lep3tool::palette_by_name("11"));
    EXPECT_FALSE(lep3tool::palette_by_name("Iron"));
    EXPECT_FALSE(lep3tool::palette_by_name(""));
}

TEST(SettingsTableTest, NamesAreUniqueAndWritableOnesSayWhatTheyTake)
{
    std::set<std::string_view> seen;
    for (const auto &s : lep3tool::kSettings) {
        EXPECT_TRUE(seen.insert(s.name).second) << s.name;
        if (!s.alias.empty()) {
            EXPECT_TRUE(seen.insert(s.alias).second) << s.alias;
        }
        if (s.set != nullptr) {
            EXPECT_FALSE(s.accepts.empty()) << s.name;
            EXPECT_LT(s.lo, s.hi) << s.name;
        }
    }
    ASSERT_NE(lep3tool::find_setting("vid"), nullptr);
    EXPECT_EQ(lep3tool::find_setting("vid"), lep3tool::find_setting("video-format"));
    EXPECT_EQ(lep3tool::find_setting("nope"), nullptr);
}

} // namespace
