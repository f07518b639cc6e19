// What update_flow refuses before it ever talks to a bootloader, each time with the file
// closed, the buffer freed and no descriptor left behind.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "update_test_support.h"

using lep3::test::bytes_of;
using lep3::test::FirmwareDir;
using lep3::test::image_file;
using lep3::test::open_descriptor_count;

class UpdateFlowRefusal : public testing::Test {
  protected:
    // Runs update_flow with the given file as the image; no bootloader is reachable, so
    // every one of these must end before the transfer opens a device.
    int run_flow()
    {
        const size_t before = open_descriptor_count();
        testing::internal::CaptureStdout();
        const int result = update_flow();
        (void)std::fflush(stdout);
        printed_ = testing::internal::GetCapturedStdout();
        EXPECT_EQ(open_descriptor_count(), before) << "update_flow leaked a descriptor";
        EXPECT_EQ(printed_.find("failure"), std::string::npos) << "tried to open a device:\n" << printed_;
        return result;
    }

    FirmwareDir dir_;
    std::string printed_;
};

TEST_F(UpdateFlowRefusal, NoImageFile)
{
    EXPECT_EQ(run_flow(), -1);
    EXPECT_EQ(printed_, "Can't find firmware\n");
}

TEST_F(UpdateFlowRefusal, WrongFlagOrFileShorterThanTheFlag)
{
    dir_.put("SAMG55_V1.0.talvor", bytes_of("SAMG55;X1.0\r\ndata"));
    EXPECT_EQ(run_flow(), -1);
    EXPECT_NE(printed_.find("ERROR: firmware file flag not match!\n"), std::string::npos) << printed_;

    dir_.put("SAMG55_V1.0.talvor", bytes_of("SAMG5"));
    EXPECT_EQ(run_flow(), -1);
    EXPECT_NE(printed_.find("Firmware file size=5\n"), std::string::npos) << printed_;
    EXPECT_NE(printed_.find("ERROR: firmware file flag not match!\n"), std::string::npos) << printed_;
}

TEST_F(UpdateFlowRefusal, FileShorterThanItsHeader)
{
    // Without a CR LF the header is 258 bytes long, longer than this file.
    dir_.put("SAMG55_V1.0.talvor", bytes_of("SAMG55;V1.0 and no line end"));
    EXPECT_EQ(run_flow(), -1);
    EXPECT_NE(printed_.find("shorter than its 258-byte header"), std::string::npos) << printed_;
    EXPECT_EQ(printed_.find("dat size"), std::string::npos) << printed_;
}

TEST_F(UpdateFlowRefusal, EmptyDataSectionIsNotSent)
{
    dir_.put("SAMG55_V1.0.talvor", image_file("1.0", {}));
    EXPECT_EQ(run_flow(), -1);
    EXPECT_NE(printed_.find("dat size:0\n"), std::string::npos) << printed_;
    EXPECT_NE(printed_.find("ERROR: send_update_file failed!\n"), std::string::npos) << printed_;
}
