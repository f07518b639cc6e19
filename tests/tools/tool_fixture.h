// A private working directory for each test that runs the tool.
#pragma once

#include <gtest/gtest.h>
#include <regex.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lep3::test {

class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "lep3-tool-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const std::string &name) const { return (std::filesystem::path(dir_) / name).string(); }

    std::string dir_;
};

// One line on standard error, in the tool's form, and no crash.
inline void expect_clean_failure(int status, const std::string &err, const std::string &needle)
{
    EXPECT_NE(status, 0);
    EXPECT_LT(status, 128) << "ended by a signal";
    EXPECT_NE(err.find("lep3: error: "), std::string::npos) << err;
    EXPECT_NE(err.find(needle), std::string::npos) << err;
}

// The first match of a POSIX extended regular expression in text: the whole match and
// its groups, or nothing.
inline std::optional<std::vector<std::string>> search(const std::string &text, const char *pattern)
{
    regex_t re;
    if (regcomp(&re, pattern, REG_EXTENDED) != 0) {
        ADD_FAILURE() << "bad pattern " << pattern;
        return std::nullopt;
    }
    std::vector<regmatch_t> m(re.re_nsub + 1);
    std::optional<std::vector<std::string>> found;
    if (regexec(&re, text.c_str(), m.size(), m.data(), 0) == 0) {
        found.emplace();
        for (const auto &g : m)
            found->push_back(g.rm_so < 0
                                 ? std::string()
                                 : text.substr(static_cast<size_t>(g.rm_so), static_cast<size_t>(g.rm_eo - g.rm_so)));
    }
    regfree(&re);
    return found;
}

} // namespace lep3::test
