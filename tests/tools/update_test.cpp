// lep3 update against the emulator's bootloader.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tools/tool_fixture.h"

namespace {

using lep3::test::expect_clean_failure;
using lep3::test::run_tool;

class UpdateTest : public lep3::test::ToolTest {
  protected:
    std::string write_file(const std::string &name, const std::string &header, size_t data_bytes)
    {
        std::ofstream(path(name), std::ios::binary) << header << std::string(data_bytes, '\x5a');
        return path(name);
    }
};

// The one test that runs a whole update: the library's pauses alone take 6 s.
TEST_F(UpdateTest, ImageFileIsTransferredWithProgress)
{
    const auto r = run_tool({"update", "--sim", write_file("new-firmware.bin", "SAMG55;V1.07\r\n", 1000)});
    ASSERT_EQ(r.status, 0) << r.err;
    // The bar follows the progress value from another thread: it sees the value stay
    // at 15 during the transfer and end at 100.
    for (const char *text :
         {"image 107: updating", "progress 15%\n", "progress 100%\n", "update complete: bridge firmware "})
        EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
}

TEST_F(UpdateTest, FilesThatAreNoImageAreRefusedBeforeTheBridgeRestarts)
{
    auto r = run_tool({"update", "--sim", write_file("photo.png", "\x89PNG\r\n", 100)});
    expect_clean_failure(r, "is not a firmware image");
    EXPECT_EQ(r.out.find("updating"), std::string::npos);
    expect_clean_failure(run_tool({"update", "--sim", path("missing.bin")}), "cannot read");
    // An empty firmware directory, and none at all.
    expect_clean_failure(run_tool({"update", "--sim", "--firmware-dir", dir_}), "no firmware image in " + dir_);
    expect_clean_failure(run_tool({"update", "--sim", "--firmware-dir", path("none")}),
                         "the firmware directory " + path("none") + " does not exist");
}

} // namespace
