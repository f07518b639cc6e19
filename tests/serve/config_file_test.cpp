// The service's configuration file: what a line may say, and that the command line wins.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "serve/config_file.h"

namespace {

using lep3tool::OptionDef;
using lep3tool::ParsedArgs;

constexpr OptionDef kOptions[] = {
    {"port", 'p', "N", ""},
    {"config", 'c', "FILE", ""},
    {"journal", 0, "", ""},
    {"box", 0, "[NAME=]X0,Y0,X1,Y1", ""},
};

struct Case {
    const char *file;
    std::vector<std::string> command_line;
    std::map<std::string, std::string> expected; // every option set afterwards
    const char *error = nullptr;                 // or a part of the error
};

TEST(ConfigFileTest, KeysAreTheLongOptionsAndTheCommandLineWins)
{
    const std::string path =
        (std::filesystem::temp_directory_path() / ("lep3-config-" + std::to_string(getpid()))).string();
    const Case cases[] = {
        {"# a comment\n\n  port = 9000 \nbind=x\n", {}, {}, "line 4: no option is called 'bind'"},
        {"# a comment\n\n  port = 9000 \r\ndevice=/dev/lep3/A1\n", {}, {{"port", "9000"}, {"device", "/dev/lep3/A1"}}},
        {"port = 9000\n", {"--port", "1"}, {{"port", "1"}}},
        {"journal = yes\n", {}, {{"journal", ""}}},
        {"journal = yes\njournal = off\n", {}, {}},
        {"journal = maybe\n", {}, {}, "'journal' is yes or no, not 'maybe'"},
        {"config = /etc/other.conf\n", {}, {}, "no option is called 'config'"},
        {"port\n", {}, {}, "line 1: not a 'key = value' line"},
        {"port =\n", {}, {}, "'port' has no value"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        std::ofstream(path) << c.file;
        ParsedArgs args = lep3tool::parse_args(c.command_line, kOptions);
        if (c.error != nullptr) {
            try {
                lep3tool::serve::merge_config_file(path, kOptions, args);
                ADD_FAILURE() << "taken";
            } catch (const lep3tool::UsageError &e) {
                EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
            }
            continue;
        }
        EXPECT_TRUE(lep3tool::serve::merge_config_file(path, kOptions, args));
        for (const std::string name : {"port", "device", "journal"}) {
            const auto expected = c.expected.find(name);
            EXPECT_EQ(args.value(name), expected == c.expected.end() ? std::nullopt : std::optional(expected->second))
                << name;
        }
    }
    // A repeatable option takes every line of its key, unless the command line gives it.
    std::ofstream(path) << "box = motor=1,1,9,9\nport = 1\nbox = 2,2,3,3\nport = 2\n";
    ParsedArgs boxes = lep3tool::parse_args(std::vector<std::string>{}, kOptions);
    lep3tool::serve::merge_config_file(path, kOptions, boxes);
    EXPECT_EQ(boxes.values("box"), (std::vector<std::string>{"motor=1,1,9,9", "2,2,3,3"}));
    EXPECT_EQ(boxes.value("port"), "2");
    ParsedArgs given = lep3tool::parse_args(std::vector<std::string>{"--box", "5,5,6,6"}, kOptions);
    lep3tool::serve::merge_config_file(path, kOptions, given);
    EXPECT_EQ(given.values("box"), (std::vector<std::string>{"5,5,6,6"}));

    std::filesystem::remove(path);
    ParsedArgs args;
    EXPECT_FALSE(lep3tool::serve::merge_config_file(path, kOptions, args)) << "a missing file means the defaults";
}

} // namespace
