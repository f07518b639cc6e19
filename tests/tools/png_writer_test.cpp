// The PNG files the tool writes decode to exactly the pixels it was given.
#include "hostkit/png_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "tools/tool_fixture.h"

namespace {

using PngWriterTest = lep3::test::ToolTest;

TEST_F(PngWriterTest, FailureThrowsAndLeavesNoFileBehind)
{
    const std::vector<uint16_t> grey(4);
    EXPECT_THROW(lep3tool::write_png_gray16(path("missing/g.png"), grey, 2, 2, {}), std::runtime_error);
    // A buffer smaller than the image must not be read past its end.
    EXPECT_THROW(lep3tool::write_png_gray16(path("short.png"), grey, 3, 2, {}), std::runtime_error);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

} // namespace
