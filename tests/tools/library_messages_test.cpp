// The library's messages belong to the tool: hidden unless asked for, and never glued to
// the tool's own lines.
#include <gtest/gtest.h>

#include <string>

#include "hostkit/console.h"
#include "hostkit/library_messages.h"
#include "link/console.h"

namespace {

TEST(LibraryMessages, HiddenByDefaultShownVerboseAndAnOpenLineEndsBeforeTheToolsNext)
{
    struct Case {
        bool verbose;
        const char *library;
        std::string want;
    };
    for (const auto &c : {Case{false, "LEP_Uart inited,fd=6\n", "lep3: error: next\n"},
                          Case{true, "LEP_Uart inited,fd=6\n", "LEP_Uart inited,fd=6\nlep3: error: next\n"},
                          Case{true, "Send get firmware version error: -2!",
                               "Send get firmware version error: -2!\nlep3: error: next\n"}}) {
        SCOPED_TRACE(c.library);
        lep3tool::route_library_messages(c.verbose);
        testing::internal::CaptureStderr();
        lep3::console::write_error(c.library);
        lep3tool::error("next");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.want);
    }
}

} // namespace
