// lep3 update against the emulator's bootloader.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tools/tool_fixture.h"
#include "tools/tool_runner.h"

namespace {

using lep3::test::expect_clean_failure;
using lep3::test::run_tool;

class UpdateTest : public lep3::test::ToolTest {
  protected:
    std::string write_file(const std::string &name, const std::string &header, size_t data_bytes)
    {
        std::string file = path(name);
        std::ofstream out(file, std::ios::binary);
        out << header;
        for (size_t i = 0; i < data_bytes; ++i)
            out.put(static_cast<char>(i * 7));
        return file;
    }
};

// The one test that runs a whole update: the library's pauses alone take 6 s.
TEST_F(UpdateTest, ImageFileIsTransferredWithProgress)
{
    const auto image = write_file("new-firmware.bin", "SAMG55;V1.07\r\n", 1000);
    const auto r = run_tool({"update", "--sim", image});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("image 107: updating"), std::string::npos) << r.out;
    // The bar follows the progress value from another thread: it sees the value stay
    // at 15 during the transfer and end at 100.
    EXPECT_NE(r.out.find("progress 15%\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("progress 100%\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("update complete: bridge firmware "), std::string::npos) << r.out;
}

TEST_F(UpdateTest, FilesThatAreNoImageAreRefusedBeforeTheBridgeRestarts)
{
    const auto bad = write_file("photo.png", "\x89PNG\r\n", 100);
    auto r = run_tool({"update", "--sim", bad});
    expect_clean_failure(r.status, r.err, "is not a firmware image");
    EXPECT_EQ(r.out.find("updating"), std::string::npos);

    r = run_tool({"update", "--sim", path("missing.bin")});
    expect_clean_failure(r.status, r.err, "cannot read");

    // An empty firmware directory, and none at all.
    r = run_tool({"update", "--sim", "--firmware-dir", dir_});
    expect_clean_failure(r.status, r.err, "no firmware image in " + dir_);
    r = run_tool({"update", "--sim", "--firmware-dir", path("none")});
    expect_clean_failure(r.status, r.err, "the firmware directory " + path("none") + " does not exist");
}

} // namespace
