// Outputs in a directory shared with other users (sticky, writable by all): links that
// another user plants at the names the tool will write, or at names it used to write
// through, redirect nothing. Needs root, to plant as another user.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/tool_fixture.h"

namespace {

constexpr uid_t kNobody = 65534;

class PlantedLinkTest : public lep3::test::ToolTest {
  protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "planting links as another user needs root";
        shared_ = path("shared"); // made anew for each case
        ASSERT_EQ(chmod(dir_.c_str(), 0711), 0);
        victim_ = path("victim"); // root's, outside the shared directory
        std::ofstream(victim_) << "root's own\n";
        ASSERT_EQ(chmod(victim_.c_str(), 0600), 0);
    }

    // A link made by another user, as the kernel will see it.
    void plant(const std::string &name, const std::string &target)
    {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const bool ok = setgid(kNobody) == 0 && setuid(kNobody) == 0 &&
                            symlink(target.c_str(), (shared_ + "/" + name).c_str()) == 0;
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "could not plant " << name;
    }

    std::string victim_text() const
    {
        std::ostringstream s;
        s << std::ifstream(victim_).rdbuf();
        return s.str();
    }

    std::string shared_, victim_;
};

TEST_F(PlantedLinkTest, OutputsNeverFollowALinkAtTheirNames)
{
    struct Case {
        std::vector<std::string> args; // run in the shared directory's paths
        std::string planted;           // the link's name there
        bool dangling;                 // to a file not yet there, or to the victim
        std::string message;           // "" when the tool succeeds
    };
    const std::string out = "shared";
    const std::vector<Case> cases = {
        {{"record", "--sim", "-n", "2", "-o", "walk.tif"}, "walk.tif", true, "exists"},
        {{"record", "--sim", "-n", "2", "-o", "walk.tif", "--celsius"}, "walk-celsius.tif", false, "exists"},
        {{"capture", "--sim", "-n", "1", "-o", out}, "frame-0001.png", false, "symbolic link"},
        {{"capture", "--sim", "-n", "1", "-o", out, "--temps"}, "frame-0001-celsius.csv", true, "symbolic link"},
        // The names partial files once had, predictable to anyone.
        {{"capture", "--sim", "-n", "1", "-o", out}, "frame-0001.png.part", false, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.planted);
        std::filesystem::remove_all(shared_);
        ASSERT_EQ(mkdir(shared_.c_str(), 0777), 0);
        ASSERT_EQ(chmod(shared_.c_str(), 01777), 0);
        const std::string target = c.dangling ? path("created-through-link") : victim_;
        plant(c.planted, target);

        std::vector<std::string> args = c.args;
        for (std::string &a : args)
            if (a == "walk.tif" || a == out)
                a = path(a == out ? "shared" : "shared/walk.tif");
        const auto r = lep3::test::run_tool(args);
        if (c.message.empty())
            EXPECT_EQ(r.status, 0) << r.err;
        else
            lep3::test::expect_clean_failure(r, c.message);

        EXPECT_EQ(victim_text(), "root's own\n");
        EXPECT_FALSE(std::filesystem::exists(path("created-through-link")));
        EXPECT_TRUE(std::filesystem::is_symlink(shared_ + "/" + c.planted));
        for (const auto &entry : std::filesystem::directory_iterator(shared_))
            EXPECT_NE(entry.path().filename().string().front(), '.') << "left behind: " << entry.path();
    }
}

} // namespace
