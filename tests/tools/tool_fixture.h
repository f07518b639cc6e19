// A private working directory for each test that runs the tool.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

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

} // namespace lep3::test
