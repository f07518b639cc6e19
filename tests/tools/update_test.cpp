// lep3 update against the emulator's bootloader.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tools/tool_fixture.h"

namespace {

using UpdateTest = lep3::test::ToolTest;

// The one test that runs a whole update: the library's pauses alone take 6 s.
TEST_F(UpdateTest, ImageFileIsTransferredWithProgress)
{
    std::ofstream(path("new-firmware.bin"), std::ios::binary) << "SAMG55;V1.07\r\n" << std::string(1000, '\x5a');
    const auto r = lep3::test::run_tool({"update", "--sim", path("new-firmware.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    // The bar follows the progress value from another thread: it sees the value stay
    // at 15 during the transfer and end at 100.
    for (const char *text :
         {"image 107: updating", "progress 15%\n", "progress 100%\n", "update complete: bridge firmware "})
        EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
}

} // namespace
