// The firmware image file on the host (its name, header and version), the verification
// CRC, the progress word, and every image update_flow refuses before opening a device.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "update/update_internal.h"
#include "update_support.h"

using namespace lep3::test;
using lep3::update::header_length;
using lep3::update::is_firmware_image_name;

TEST(ImageName, AcceptsOnlyTheExactPatternWithTheTalvorSuffixUpToFiftyCharacters)
{
    const std::string longest = "SAMG55_V" + std::string(32, '0') + "1.2.talvor"; // 50 characters
    for (const std::string name : {"SAMG55_V1.2.talvor", "SAMG55_V10.0.talvor", longest.c_str()})
        EXPECT_TRUE(is_firmware_image_name(name.c_str())) << name;
    for (const std::string name : {"SAMG55_V1.2.talvor.bin", "SAMG55_V1.talvor", "samg55_V1.2.talvor",
                                   "SAMG55_V1.2.Talvor", "SAMG55_V1.2.", "SAMG55_Vx.2.talvor", "SAMG55_V1.2.talvo"})
        EXPECT_FALSE(is_firmware_image_name(name.c_str())) << name;
    EXPECT_FALSE(is_firmware_image_name(("0" + longest).c_str())) << "too long for the path buffer";
}

TEST(SearchFirmware, FindsOnlyRegularFilesWithAQualifyingName)
{
    FirmwareDir dir;
    std::filesystem::create_directory(dir.path / "SAMG55_V1.2.talvor");
    put_file("SAMG55_V1.talvor", bytes_of("x"));
    put_file("target", bytes_of("x"));
    std::filesystem::create_symlink(dir.path / "target", dir.path / "SAMG55_V9.9.talvor");
    EXPECT_EQ(search_firmware(), nullptr);

    put_file("SAMG55_V3.4.talvor", bytes_of("x"));
    EXPECT_STREQ(search_firmware(), "SAMG55_V3.4.talvor");
}

TEST(HeaderLength, EndsAfterTheFirstCrLfWhoseCrIsWithinTheFirst256Bytes)
{
    const auto crlf_at = [](size_t at) {
        std::string file(300, 'a');
        file.replace(at, 2, "\r\n");
        return file;
    };
    const struct {
        std::string file;
        size_t length;
    } cases[] = {{std::string(300, 'a'), 258}, {crlf_at(12), 14}, {crlf_at(255), 257},
                 {crlf_at(256), 258},          {"ab\rx\r\n", 6},  {"SAMG55;V1.0\r", 258}};
    for (const auto &c : cases)
        EXPECT_EQ(header_length(bytes_of(c.file)), c.length) << c.file.substr(0, 16);
}

TEST(FileVersion, IsTheHeaderNumberTimes100CutTowardZero)
{
    FirmwareDir dir;
    constexpr uint32_t kUntouched = 0xDEADBEEF;
    const struct {
        std::string contents;
        int result;
        uint32_t version;
        const char *printed;
    } cases[] = {
        {"SAMG55;V1.05\r\nrest", 0, 105, "SAMG55 file version:1.05, len=4\n"},
        {"SAMG55;V1.15\r\n", 0, 114, "version:1.15"},
        {"SAMG55;V2.3\r\n", 0, 229, "version:2.3"},
        {"SAMG55;V\r\n", 0, 0, "len=1\n"}, // the version is the lone line feed
        {"SAMG55;1.05\r\n", -1, kUntouched, "ERROR:LEP3_GetSAMG55FileVersion->find SAMG55 file version failed!\n"},
        {"", -1, kUntouched, "ERROR:LEP3_GetSAMG55FileVersion->find flag \"V\" failed!\n"},
        // Only 31 bytes of the first line are read.
        {std::string(31, 'X') + "V1.05\r\n", -1, kUntouched, "find SAMG55 file version failed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.contents);
        put_file("SAMG55_V1.0.talvor", bytes_of(c.contents));
        uint32_t version = kUntouched;
        std::string printed;
        EXPECT_EQ(captured(printed, [&] { return LEP3_GetSAMG55FileVersion(&version); }), c.result);
        EXPECT_EQ(version, c.version);
        expect_in_order(printed, {c.printed});
    }
    EXPECT_EQ(LEP3_GetSAMG55FileVersion(nullptr), -5);
}

TEST(VerificationCrc, ReferenceValuesWithoutMaskOrInversion)
{
    EXPECT_EQ(lep3::update::crc32_update(0, bytes_of("abc")), 0xCA6598D0u);
    EXPECT_EQ(lep3::update::crc32_fill(0, 0xFF, 4), 0xDEBB20E3u);
}

TEST(UpdateProgress, StartsAtZeroAndCapsPerCentButKeepsFailureCodes)
{
    int32_t rate = -99;
    EXPECT_EQ(LEP3_GetUpdateRate(&rate), 0);
    EXPECT_EQ(rate, 0);
    EXPECT_EQ(set_rate_of_progress(150), 100);
    EXPECT_EQ(set_rate_of_progress(-3), -3);
    EXPECT_EQ(LEP3_GetUpdateRate(&rate), 0);
    EXPECT_EQ(rate, -3);
    EXPECT_EQ(LEP3_GetUpdateRate(nullptr), -5);
}

// No bootloader is reachable here, so each refusal must come before a device is opened,
// with the file closed and no descriptor left behind.
TEST(UpdateFlow, RefusesMissingWronglyFlaggedTruncatedAndEmptyImagesWithoutLeaks)
{
    FirmwareDir dir;
    const struct {
        Bytes file; // none when empty
        std::vector<std::string> printed;
    } cases[] = {
        {{}, {"Can't find firmware\n"}},
        {bytes_of("SAMG55;X1.0\r\ndata"), {"ERROR: firmware file flag not match!\n"}},
        {bytes_of("SAMG5"), {"Firmware file size=5\n", "ERROR: firmware file flag not match!\n"}},
        {bytes_of("SAMG55;V1.0 and no line end"), {"shorter than its 258-byte header"}},
        {image_file("1.0", {}),
         {"dat size:0\n", "ERROR: firmware image is empty, nothing to send!\n", "ERROR: send_update_file failed!\n"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.printed.front());
        if (!c.file.empty())
            put_file("SAMG55_V1.0.talvor", c.file);
        const size_t before = open_descriptor_count();
        std::string printed;
        EXPECT_EQ(captured(printed, [] { return update_flow(); }), -1);
        expect_in_order(printed, c.printed);
        EXPECT_EQ(printed.find("failure"), std::string::npos) << "tried to open a device:\n" << printed;
        EXPECT_EQ(open_descriptor_count(), before) << "descriptor leaked";
    }
    EXPECT_EQ(send_update_file(nullptr, 10), -1);
}
