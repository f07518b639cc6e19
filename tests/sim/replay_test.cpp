// The emulator replaying a recording: the host receives the recorded values exactly, no
// faster than they were recorded, with the camera's registers as they were; a file that
// is no recording is refused with a reason. (Any bytes at all are the reader's fuzz
// target's.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "lep3.h"
#include "recording/format.h"
#include "sim/bridge_sim.h"
#include "sim/replay.h"
#include "support/spawn_program.h"

namespace lep3::sim {
namespace {

using lep3::test::spawn_program;

using recording::FileInfo;
using recording::PageInfo;
using Clock = std::chrono::steady_clock;

struct TestPage {
    PageInfo info;
    std::vector<uint16_t> raw;
};

// What a file may get wrong; the defaults make a recording as lep3 record writes it.
struct Shape {
    uint32_t width = 160, height = 120;
    uint16_t bits = 16;
    uint16_t format = SAMPLEFORMAT_UINT;
    bool described = true;
};

// A plain libtiff writer, independent of the tool's, so the replay is checked against
// the format and not against another copy of the same code.
void write_tiff(const std::string &path, const std::vector<TestPage> &pages, const FileInfo &file, Shape shape = {})
{
    TIFF *tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    for (size_t k = 0; k < pages.size(); ++k) {
        const std::string text = recording::describe_page(pages[k].info, k == 0 ? &file : nullptr);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, shape.width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, shape.height);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, shape.bits);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, shape.format);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, shape.height);
        if (shape.described)
            TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, text.c_str());
        std::vector<uint8_t> strip(size_t{shape.width} * shape.height * shape.bits / 8);
        std::memcpy(strip.data(), pages[k].raw.data(), std::min(strip.size(), pages[k].raw.size() * 2));
        ASSERT_GE(TIFFWriteEncodedStrip(tif, 0, strip.data(), static_cast<tmsize_t>(strip.size())), 0);
        ASSERT_TRUE(TIFFWriteDirectory(tif));
    }
    TIFFClose(tif);
}

TestPage page(uint32_t number, int64_t ms, float fpa, uint32_t r)
{
    TestPage p;
    p.info.frame_number = number;
    p.info.host_time_us = 1700000000000000 + ms * 1000;
    p.info.fpa_celsius = fpa;
    p.info.rbfo_set = "external";
    p.info.rbfo = recording::Rbfo{r, 1428, 1, 1024};
    p.raw.resize(kPixels);
    for (size_t i = 0; i < p.raw.size(); ++i)
        p.raw[i] = static_cast<uint16_t>((i * 13 + number * 977) % 16384);
    return p;
}

const FileInfo kFile{recording::Values::raw, "1.1.0", 0x0107, 0x0123456789ABCDEF};

class ReplayTest : public testing::Test {
  protected:
    void SetUp() override
    {
        dir_ = (std::filesystem::temp_directory_path() / "lep3-replay-XXXXXX").string();
        ASSERT_NE(mkdtemp(dir_.data()), nullptr);
        options_.path = dir_ + "/ttyACM0";
        options_.replay = dir_ + "/rec.tif";
        LEP3_SetMessageHandler(nullptr, nullptr);
    }
    void TearDown() override
    {
        LEP3_Close();
        std::filesystem::remove_all(dir_);
    }

    std::string dir_;
    Options options_;
};

// The next frame the host takes, or the result when there is none.
using Taken = std::variant<int, std::vector<uint16_t>>;
Taken take(int timeout_ms)
{
    std::vector<uint16_t> frame(kPixels);
    const int rc = LEP3_WaitFrame(frame.data(), frame.size() * sizeof(uint16_t), nullptr, timeout_ms);
    return rc == 0 ? Taken(frame) : Taken(rc);
}

TEST_F(ReplayTest, StreamsTheRecordedValuesAtTheRecordedPaceWithTheRecordedRegisters)
{
    const std::vector<TestPage> pages = {page(5, 0, 25.5F, 880000), page(6, 300, 31.25F, 881000),
                                         page(9, 600, 31.25F, 881000)};
    write_tiff(options_.replay, pages, kFile);
    BridgeSim sim(options_);
    ASSERT_EQ(LEP3_Open(options_.path.c_str()), 0);
    ASSERT_EQ(LEP3_GetRawVideo(), 0);

    EXPECT_EQ(take(5000), Taken(pages[0].raw));
    const auto first = Clock::now();
    EXPECT_EQ(take(5000), Taken(pages[1].raw));
    // Pages 2 and 3 were recorded with the same registers: whichever of them went out last,
    // the camera answers as it did then.
    float fpa = 0;
    lep3_rbfo_t rbfo{};
    uint64_t serial = 0;
    uint32_t firmware = 0;
    ASSERT_EQ(LEP3_GetSysFpaTemperatureCelcius(&fpa) + LEP3_GetRadRBFOExternal0(&rbfo) +
                  LEP3_GetSysFlirSerialNumber(&serial) + LEP3_GetFirmwareVersion(&firmware),
              0);
    EXPECT_NEAR(fpa, 31.25F, 0.006F);
    EXPECT_EQ(std::make_tuple(rbfo.r, rbfo.o, serial, firmware),
              std::make_tuple(881000U, 1024U, *kFile.serial_number, *kFile.firmware_version));

    EXPECT_EQ(take(5000), Taken(pages[2].raw));
    EXPECT_GE(Clock::now() - first, std::chrono::milliseconds(550)) << "faster than recorded";
    // Without --loop the bridge falls silent after the last frame.
    EXPECT_EQ(take(600), Taken(-2));
    EXPECT_EQ(sim.frames_sent(), 3U);
}

// Pages dated far apart (or out of order) pace the stream by at most 10 s, said once for
// each such pause; no date overflows the arithmetic (the sanitizer builds watch it). A
// looping replay starts over after the last page.
TEST_F(ReplayTest, PacingWaitsAtMostTenSecondsWhateverTheDates)
{
    constexpr int64_t kLastMicrosecondOf9999 = 253402300799999999;
    const std::vector<std::pair<int64_t, int64_t>> dates_and_pauses_ms = {
        {1700000000000000, 100}, {1700000000100000, 10000}, {kLastMicrosecondOf9999, 0}, {0, 0}};
    std::vector<TestPage> pages;
    for (const auto &[date, pause] : dates_and_pauses_ms) {
        pages.push_back(page(static_cast<uint32_t>(pages.size() + 1), 0, 30, 880000));
        pages.back().info.host_time_us = date;
    }
    write_tiff(options_.replay, pages, kFile);
    const auto replay = open_replay(options_.replay, true);
    std::vector<uint16_t> raw(kPixels);
    testing::internal::CaptureStderr();
    for (const auto &[date, pause] : dates_and_pauses_ms) {
        ASSERT_TRUE(replay->next(raw.data()));
        EXPECT_EQ(replay->interval(), std::chrono::milliseconds(pause))
            << "after frame " << replay->page().frame_number;
    }
    ASSERT_TRUE(replay->next(raw.data())) << "the loop did not start over";
    EXPECT_EQ(std::make_tuple(replay->page().frame_number, raw), std::make_tuple(1U, pages[0].raw));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("frame 3 was taken more than 10 s after frame 2; the replay waits 10 s"), std::string::npos)
        << said;
    EXPECT_EQ(said.find("frame 4"), std::string::npos) << said;
}

std::string refusal(const Options &options)
{
    try {
        BridgeSim sim(options);
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "accepted";
}

TEST_F(ReplayTest, ForeignOrDamagedFilesAreRefusedWithAReason)
{
    const std::vector<TestPage> pages = {page(1, 0, 30, 880000), page(2, 115, 30, 880000), page(3, 230, 30, 880000)};
    const std::string &file = options_.replay;
    struct Case {
        const char *what;
        std::function<void()> make;
        const char *reason;
    };
    const std::vector<Case> cases = {
        {"missing", [] {}, "cannot open"},
        {"text", [&] { std::ofstream(file) << "frame 1: 8000 8001 ...\n"; }, "is not a TIFF file"},
        {"8-bit", [&] { write_tiff(file, pages, kFile, {.bits = 8}); }, "does not hold one 16-bit unsigned sample"},
        {"320x240", [&] { write_tiff(file, pages, kFile, {.width = 320, .height = 240}); }, "is 320x240"},
        {"undescribed", [&] { write_tiff(file, pages, kFile, {.described = false}); }, "no recording description"},
        {"Celsius",
         [&] {
             FileInfo celsius = kFile;
             celsius.values = recording::Values::celsius;
             write_tiff(file, pages, celsius, {.bits = 32, .format = SAMPLEFORMAT_IEEEFP});
         },
         "holds temperatures"},
        {"cut short",
         [&] {
             write_tiff(file, pages, kFile);
             std::filesystem::resize_file(file, std::filesystem::file_size(file) * 3 / 5);
         },
         "page 2 can't be read"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(file);
        c.make();
        const std::string why = refusal(options_);
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
        EXPECT_NE(why.find(file), std::string::npos) << why;
    }
}

TEST_F(ReplayTest, ProgramRefusesAFileThatIsNoRecordingInOneLine)
{
    std::ofstream(options_.replay) << "not a picture\n";
    const std::string program = LEP3_BRIDGE_SIM_PATH, err = dir_ + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    ASSERT_EQ(spawn_program(&pid, {program, "--path", options_.path, "--replay", options_.replay}, &actions), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal";
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::string text;
    std::getline(std::ifstream(err), text, '\0');
    EXPECT_EQ(text.rfind("lep3-bridge-sim: " + options_.replay + " is not a TIFF file", 0), 0U) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
}

} // namespace
} // namespace lep3::sim
