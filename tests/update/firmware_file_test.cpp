// The firmware image file: which names qualify, where the header ends and which version
// the file carries.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "update/update_internal.h"
#include "update_test_support.h"

using lep3::test::bytes_of;
using lep3::test::FirmwareDir;
using lep3::update::header_length;
using lep3::update::is_firmware_image_name;

TEST(ImageName, AcceptsOnlyTheExactPatternWithTheTalvorSuffix)
{
    for (const char *name : {"SAMG55_V1.2.talvor", "SAMG55_V10.0.talvor", "SAMG55_V1.5.talvor"})
        EXPECT_TRUE(is_firmware_image_name(name)) << name;
    for (const char *name : {"SAMG55_V1.2.talvor.bin", "SAMG55_V1.talvor", "samg55_V1.2.talvor", "SAMG55_V1.2.Talvor",
                             "SAMG55_V1.2.", "SAMG55_Vx.2.talvor", "SAMG55_V1.2.talvo"})
        EXPECT_FALSE(is_firmware_image_name(name)) << name;
}

TEST(ImageName, NameLongerThanThePathBufferAllowsIsSkipped)
{
    // Leading zeros keep the pattern valid while stretching the name to 50 and 51 characters.
    const std::string fits = "SAMG55_V" + std::string(32, '0') + "1.2.talvor";
    ASSERT_EQ(fits.size(), 50u);
    EXPECT_TRUE(is_firmware_image_name(fits.c_str()));
    EXPECT_FALSE(is_firmware_image_name(("SAMG55_V0" + fits.substr(8)).c_str()));
}

TEST(SearchFirmware, SkipsDirectoriesLinksAndNonQualifyingFiles)
{
    FirmwareDir dir;
    std::filesystem::create_directory(dir.path() / "SAMG55_V1.2.talvor");
    dir.put("SAMG55_V1.talvor", bytes_of("x"));
    dir.put("target", bytes_of("x"));
    std::filesystem::create_symlink(dir.path() / "target", dir.path() / "SAMG55_V9.9.talvor");
    EXPECT_EQ(search_firmware(), nullptr);

    dir.put("SAMG55_V3.4.talvor", bytes_of("x"));
    const char *found = search_firmware();
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found, "SAMG55_V3.4.talvor");
}

TEST(SearchFirmware, MissingDirectoryReportsThroughPerror)
{
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_FIRMWARE_DIR, "/nonexistent/lep3-firmware"), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(search_firmware(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("open dir fail: ", 0), 0u);
}

TEST(HeaderLength, EndsAfterTheFirstCrLfWithinTheFirst256Bytes)
{
    std::vector<uint8_t> file(300, 'a');
    EXPECT_EQ(header_length(file), 258u) << "no CR LF at all";

    file[12] = '\r';
    file[13] = '\n';
    EXPECT_EQ(header_length(file), 14u);

    file[12] = '\r';
    file[13] = 'x'; // a lone CR doesn't end the header
    file[255] = '\r';
    file[256] = '\n';
    EXPECT_EQ(header_length(file), 257u) << "CR at the last searched offset";

    file[255] = 'a';
    file[256] = '\r';
    file[257] = '\n';
    EXPECT_EQ(header_length(file), 258u) << "CR beyond offset 255";

    // A CR in the last byte of a short file has no LF to pair with.
    EXPECT_EQ(header_length(bytes_of("SAMG55;V1.0\r")), 258u);
}

class FileVersion : public testing::Test {
  protected:
    // Runs LEP3_GetSAMG55FileVersion on a file holding contents; returns its result,
    // leaves the version and the printed text in the members.
    int read_version(const std::string &contents)
    {
        dir_.put("SAMG55_V1.0.talvor", bytes_of(contents));
        testing::internal::CaptureStdout();
        const int result = LEP3_GetSAMG55FileVersion(&version_);
        (void)std::fflush(stdout);
        printed_ = testing::internal::GetCapturedStdout();
        return result;
    }

    FirmwareDir dir_;
    uint32_t version_ = 0xDEADBEEF;
    std::string printed_;
};

TEST_F(FileVersion, IsTheHeaderNumberTimes100CutTowardZero)
{
    EXPECT_EQ(read_version("SAMG55;V1.05\r\nrest"), 0);
    EXPECT_EQ(version_, 105u);
    EXPECT_NE(printed_.find("SAMG55 file version:1.05, len=4\n"), std::string::npos) << printed_;
    EXPECT_EQ(read_version("SAMG55;V1.15\r\n"), 0);
    EXPECT_EQ(version_, 114u);
    EXPECT_EQ(read_version("SAMG55;V2.3\r\n"), 0);
    EXPECT_EQ(version_, 229u);
}

TEST_F(FileVersion, FlagAloneGivesVersionZeroFromTheLoneLineFeed)
{
    EXPECT_EQ(read_version("SAMG55;V\r\n"), 0);
    EXPECT_EQ(version_, 0u);
    EXPECT_NE(printed_.find("len=1\n"), std::string::npos) << printed_;
}

TEST_F(FileVersion, MissingTokensFailAndLeaveTheVariableUntouched)
{
    EXPECT_EQ(read_version("SAMG55;1.05\r\n"), -1);
    EXPECT_NE(printed_.find("ERROR:LEP3_GetSAMG55FileVersion->find SAMG55 file version failed!\n"), std::string::npos)
        << printed_;
    EXPECT_EQ(read_version(""), -1);
    EXPECT_NE(printed_.find("ERROR:LEP3_GetSAMG55FileVersion->find flag \"V\" failed!\n"), std::string::npos)
        << printed_;
    // Only 31 bytes of the first line are read: a version behind them isn't seen.
    EXPECT_EQ(read_version(std::string(31, 'X') + "V1.05\r\n"), -1);
    EXPECT_EQ(version_, 0xDEADBEEFu);
}

TEST_F(FileVersion, NoImageFileIsReported)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(LEP3_GetSAMG55FileVersion(&version_), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't find firmware\n");
    EXPECT_EQ(LEP3_GetSAMG55FileVersion(nullptr), -5);
}
