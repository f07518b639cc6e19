// The firmware image file on the host (its name, header and version), the verification
// CRC, and every image update_flow refuses before opening a device.
#include "update/update_internal.h"
#include "update_support.h"

using namespace lep3::test;
using lep3::update::header_length;
using lep3::update::is_firmware_image_name;

TEST(ImageName, ExactPatternWithTheTalvorSuffixUpToFiftyCharactersInARegularFile)
{
    const std::string longest = "SAMG55_V" + std::string(32, '0') + "1.2.talvor"; // 50 characters
    for (const std::string name : {"SAMG55_V1.2.talvor", "SAMG55_V10.0.talvor", longest.c_str()})
        EXPECT_TRUE(is_firmware_image_name(name.c_str())) << name;
    for (const std::string name :
         {"SAMG55_V1.2.talvor.bin", "SAMG55_V1.talvor", "samg55_V1.2.talvor", "SAMG55_Vx.2.talvor"})
        EXPECT_FALSE(is_firmware_image_name(name.c_str())) << name;
    EXPECT_FALSE(is_firmware_image_name(("0" + longest).c_str())) << "too long for the path buffer";
    // The search takes only regular files with such a name.
    FirmwareDir dir;
    std::filesystem::create_directory(dir.path + "/SAMG55_V1.2.talvor");
    put_file("SAMG55_V1.talvor", bytes_of("x"));
    put_file("target", bytes_of("x"));
    std::filesystem::create_symlink(dir.path + "/target", dir.path + "/SAMG55_V9.9.talvor");
    EXPECT_EQ(search_firmware(), nullptr);

    put_file("SAMG55_V3.4.talvor", bytes_of("x"));
    EXPECT_STREQ(search_firmware(), "SAMG55_V3.4.talvor");
}

TEST(HeaderLength, EndsAfterTheFirstCrLfWhoseCrIsWithinTheFirst256Bytes)
{
    const auto crlf_at = [](size_t at) { return std::string(at, 'a') + "\r\n" + std::string(298 - at, 'a'); };
    for (const auto &[file, length] : {std::pair{std::string(300, 'a'), 258u},
                                       {crlf_at(12), 14u},
                                       {crlf_at(255), 257u},
                                       {crlf_at(256), 258u},
                                       {"ab\rx\r\n", 6u},
                                       {"SAMG55;V1.0\r", 258u}})
        EXPECT_EQ(header_length(bytes_of(file)), length) << file.substr(0, 16);
}

TEST(FileVersion, IsTheHeaderNumberTimes100CutTowardZero)
{
    FirmwareDir dir;
    constexpr uint32_t kUntouched = 0xDEADBEEF;
    // The lone line feed is the version of "V\r\n"; only 31 bytes of the first line are read.
    for (const auto &[contents, result, expected, message] :
         {std::tuple<std::string, int, uint32_t, const char *>{"SAMG55;V1.05\r\nrest", 0, 105,
                                                               "SAMG55 file version:1.05, len=4\n"},
          {"SAMG55;V1.15\r\n", 0, 114, "version:1.15"},
          {"SAMG55;V\r\n", 0, 0, "len=1\n"},
          {"SAMG55;1.05\r\n", -1, kUntouched, "ERROR:LEP3_GetSAMG55FileVersion->find SAMG55 file version failed!\n"},
          {"", -1, kUntouched, "ERROR:LEP3_GetSAMG55FileVersion->find flag \"V\" failed!\n"},
          {std::string(31, 'X') + "V1.05\r\n", -1, kUntouched, "find SAMG55 file version failed"}}) {
        SCOPED_TRACE(contents);
        put_file("SAMG55_V1.0.talvor", bytes_of(contents));
        uint32_t version = kUntouched;
        std::string printed;
        EXPECT_EQ(captured(printed, [&] { return LEP3_GetSAMG55FileVersion(&version); }), result);
        EXPECT_EQ(version, expected);
        expect_in_order(printed, {message});
    }
    EXPECT_EQ(LEP3_GetSAMG55FileVersion(nullptr), -5);
}

// Found by fuzzing the bootloader replies: a flash size of gigabytes made the 0xFF padding
// take minutes byte by byte. The padding is computed in logarithmic time and must still
// equal the byte-by-byte register.
TEST(VerificationCrc, PaddingOfAnyLengthEqualsByteByByteUpdate)
{
    for (const size_t count : {size_t{0}, size_t{1}, size_t{63}, size_t{4096}, size_t{262143}}) {
        const std::vector<uint8_t> pad(count, 0xFF);
        EXPECT_EQ(lep3::update::crc32_fill(0x1234ABCDu, 0xFF, count), lep3::update::crc32_update(0x1234ABCDu, pad))
            << count;
    }
}

// No bootloader is reachable here, so each refusal must come before a device is opened,
// with the file closed and no descriptor left behind.
TEST(UpdateFlow, RefusesMissingWronglyFlaggedTruncatedAndEmptyImagesWithoutLeaks)
{
    FirmwareDir dir;
    for (const auto &[file, pieces] :
         {// no file when empty
          std::pair<Bytes, std::vector<std::string>>{{}, {"Can't find firmware\n"}},
          {bytes_of("SAMG55;X1.0\r\ndata"), {"ERROR: firmware file flag not match!\n"}},
          {bytes_of("SAMG5"), {"Firmware file size=5\n", "ERROR: firmware file flag not match!\n"}},
          {bytes_of("SAMG55;V1.0 and no line end"), {"shorter than its 258-byte header"}},
          {image_file("1.0", {}),
           {"dat size:0\n", "ERROR: firmware image is empty, nothing to send!\n",
            "ERROR: send_update_file failed!\n"}}}) {
        SCOPED_TRACE(pieces.front());
        if (!file.empty())
            put_file("SAMG55_V1.0.talvor", file);
        const size_t before = open_descriptors();
        std::string printed;
        EXPECT_EQ(captured(printed, [] { return update_flow(); }), -1);
        expect_in_order(printed, pieces);
        EXPECT_EQ(printed.find("failure"), std::string::npos) << "tried to open a device:\n" << printed;
        EXPECT_EQ(open_descriptors(), before) << "descriptor leaked";
    }
    EXPECT_EQ(send_update_file(nullptr, 10), -1);
}
