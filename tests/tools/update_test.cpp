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
    // Enough blocks for the bar to move during the transfer.
    std::ofstream(path("new-firmware.bin"), std::ios::binary) << "SAMG55;V1.07\r\n" << std::string(64 * 60, '\x5a');
    const auto r = lep3::test::run_tool({"update", "--sim", path("new-firmware.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    // The bar follows the library's progress value from another thread and, while that
    // stays at 15 during the transfer, the blocks the bootloader has acknowledged.
    for (const char *text : {"updating", " of 60\n", "progress 100%\n", "update complete: bridge firmware "})
        EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    EXPECT_TRUE(lep3::test::search(r.out, "progress (1[6-9]|[2-5][0-9]|6[0-4])%, block [0-9]+ of 60\n")) << r.out;
}

} // namespace
