// A device the tool can't use is explained in one line that points at the remedy.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/tool_fixture.h"

namespace {

using DeviceErrorsTest = lep3::test::ToolTest;

// The group is named only when joining it would help; otherwise the owner and mode are.
// Root opens anything, so as root the tool runs as nobody.
TEST_F(DeviceErrorsTest, PermissionHintNamesTheGroupOnlyWhenItMayUseTheDevice)
{
    std::vector<std::string> launcher;
    if (geteuid() == 0) {
        for (std::filesystem::path p = std::filesystem::absolute(LEP3_TOOL_PATH).parent_path(); p != p.root_path();
             p = p.parent_path()) {
            struct stat st {};
            if (stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
                GTEST_SKIP() << "nobody can't reach the tool under " << p;
        }
        launcher = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    const std::string me = geteuid() == 0 ? "root" : std::string(getpwuid(geteuid())->pw_name);
    for (const auto &[mode, hint] :
         {std::pair{0600, "(the device belongs to user '" + me + "', mode 0600, and its group may not use it)"},
          {0640, "(the device belongs to user '" + me + "', mode 0640, "}}) {
        SCOPED_TRACE(mode);
        const std::string device = path("ttyACM9");
        std::ofstream(device).put('\n');
        ASSERT_EQ(chmod(device.c_str(), geteuid() == 0 ? mode : 0), 0);
        const auto r = lep3::test::ToolProcess({"info", "--device", device}, launcher).finish();
        lep3::test::expect_clean_failure(r, device + ": Permission denied");
        if (geteuid() == 0) {
            EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;
        }
        EXPECT_EQ(r.err.find("group '"), std::string::npos) << r.err;
    }
}

TEST_F(DeviceErrorsTest, PlainFileIsNotASerialDevice)
{
    std::ofstream(path("frame.raw")).put('\n');
    const auto r = lep3::test::run_tool({"info", "--device", path("frame.raw")});
    lep3::test::expect_clean_failure(r, path("frame.raw") + " is not a serial device");
    EXPECT_EQ(r.err.find("ioctl"), std::string::npos) << r.err;
}

} // namespace
