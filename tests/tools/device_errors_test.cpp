// A device the tool can't use is explained in one line that points at the remedy.
#include <grp.h>
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
// Root opens anything, so as root the tool runs as nobody. The device is in the tool's
// one line, and a file that is no terminal is named as such, with no system call.
TEST_F(DeviceErrorsTest, PermissionHintNamesTheGroupOnlyWhenItMayUseTheDeviceAndPlainFilesAreNoSerialDevice)
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
    const group *dialout = getgrnam("dialout");
    const gid_t gid = dialout != nullptr ? dialout->gr_gid : getgid();
    const std::string group_hint = "(the device belongs to group '" + std::string(getgrgid(gid)->gr_name) + "'";
    for (const auto &[mode, hint] :
         {std::pair{0600, "(the device belongs to user '" + me + "', mode 0600, and its group may not use it)"},
          {0640, "(the device belongs to user '" + me + "', mode 0640, "},
          {0660, group_hint}}) {
        SCOPED_TRACE(mode);
        const std::string device = path("ttyACM9");
        std::ofstream(device).put('\n');
        ASSERT_EQ(chown(device.c_str(), geteuid(), mode == 0660 ? gid : getegid()), 0);
        ASSERT_EQ(chmod(device.c_str(), geteuid() == 0 ? mode : 0), 0);
        const auto r = lep3::test::ToolProcess({"info", "--device", device}, launcher).finish();
        lep3::test::expect_clean_failure(r, device + ": Permission denied");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        if (geteuid() == 0 || mode == 0660) {
            EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;
        }
        EXPECT_EQ(r.err.find("group '") != std::string::npos, mode == 0660) << r.err;
    }
}

} // namespace
