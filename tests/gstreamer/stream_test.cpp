// lep3src in working pipelines: the raw and colour buffers against the emulator's frames and
// the library's colouring, the counters, the defaults, and the README's lines.
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <tuple>

#include "gstreamer/pipeline.h"
#include "lep3.h"
#include "names/palettes.h"

namespace lep3::gsttest {
namespace {

using lep3::sim::BridgeSim;
using lep3::sim::kPixels;

constexpr size_t kRawBytes = kPixels * 2;
constexpr size_t kRgbBytes = kPixels * 3;

#ifdef LEP3_SANITIZED
#define SKIP_WITHOUT_TOOLS() GTEST_SKIP() << "the GStreamer programs can't load a sanitised plugin"
#else
#define SKIP_WITHOUT_TOOLS() (void)0
#endif

// The shell's output of command, and its exit status (-1 when it did not exit).
std::string run(const std::string &command, int *status)
{
    g_autofree gchar *out = nullptr;
    const gchar *argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    gint wait = -1;
    g_spawn_sync(nullptr, const_cast<gchar **>(argv), nullptr, GSpawnFlags{}, nullptr, nullptr, &out, nullptr, &wait,
                 nullptr);
    *status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
    return out != nullptr ? out : "";
}

// The emulator's raw frame with the stamp the buffer carries.
std::vector<uint16_t> emulated_raw(const uint16_t *stamped)
{
    std::vector<uint16_t> raw(kPixels);
    BridgeSim::raw_frame(BridgeSim::stamp_of_raw(stamped), raw.data());
    return raw;
}

// What the library makes of the emulator's frame seq with a palette.
std::vector<uint8_t> library_colouring(uint32_t seq, uint32_t palette)
{
    std::vector<uint16_t> raw(kPixels);
    std::vector<uint8_t> gray(kPixels);
    std::vector<uint8_t> rgb(kRgbBytes);
    BridgeSim::raw_frame(seq, raw.data());
    uint16_t max = 0;
    uint16_t min = 0;
    Gray14ToGray8(raw.data(), gray.data(), &max, &min, 0);
    EXPECT_EQ(Gray8ToRGB24(gray.data(), rgb.data(), palette), 0);
    return rgb;
}

void expect_rising_offsets(const std::vector<Frame> &frames)
{
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_GT(frames[i].offset, frames[i - 1].offset) << "buffer " << i;
        EXPECT_GT(frames[i].pts, frames[i - 1].pts) << "buffer " << i;
    }
}

uint64_t gaps(const std::vector<Frame> &frames)
{
    uint64_t skipped = 0;
    for (size_t i = 1; i < frames.size(); ++i)
        skipped += frames[i].offset - frames[i - 1].offset - 1;
    return skipped;
}

// sim=true: raw buffers equal to the emulator's frames; a consumer slower than the camera
// sees gaps in the offsets, which the stats count as dropped; the emulator goes with the
// pipeline; a new element has the default device and palette.
TEST(Lep3Src, SimDeliversTheEmulatorsRawFramesCountsWhatASlowConsumerMissedAndCleansUp)
{
    Pipeline p("lep3src name=src sim=true num-buffers=6 ! appsink name=sink sync=false max-buffers=1 drop=false");
    ASSERT_NE(p.play(), GST_STATE_CHANGE_FAILURE);
    // After each buffer the library completes a few frames before the next is taken.
    const auto completed = [] {
        lep3_link_stats_t stats{};
        LEP3_GetLinkStats(&stats);
        return stats.frames_raw;
    };
    std::vector<Frame> frames;
    while (auto f = p.pull()) {
        frames.push_back(std::move(*f));
        const uint64_t seen = completed();
        ASSERT_TRUE(eventually([&] { return completed() >= seen + 3; }, 10s));
    }
    ASSERT_EQ(frames.size(), 6U);
    EXPECT_EQ(p.wait_end(5s), "EOS");
    for (const Frame &f : frames) {
        EXPECT_EQ(std::tie(f.format, f.width, f.height, f.fps_n), std::make_tuple("GRAY16_LE", 160, 120, 0))
            << "the camera's rate is variable: 0 frames a second";
        ASSERT_EQ(f.bytes.size(), kRawBytes);
        EXPECT_TRUE(std::equal(f.raw(), f.raw() + kPixels, emulated_raw(f.raw()).begin()))
            << "frame stamped " << BridgeSim::stamp_of_raw(f.raw());
    }
    expect_rising_offsets(frames);
    EXPECT_GT(gaps(frames), 0U);
    EXPECT_EQ(p.stat("dropped"), gaps(frames));
    EXPECT_EQ(p.stat("frames"), 6U);

    // The emulator is stopped and its directory removed with the pipeline.
    ASSERT_EQ(p.stop(), GST_STATE_CHANGE_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_empty(test_tmpdir()));

    // A new element still defaults to the library's device, not the emulator's, and to the
    // tools' default palette (the palette names are the shared table's).
    GstElement *next = gst_element_factory_make("lep3src", nullptr);
    gchar *device = nullptr;
    gint palette = -1;
    g_object_get(next, "device", &device, "palette", &palette, nullptr);
    EXPECT_STREQ(device, "/dev/ttyACM0");
    EXPECT_EQ(palette, static_cast<gint>(lep3::names::kDefaultPalette));
    g_free(device);
    gst_object_unref(next);
}

// RGB caps: the host colours exactly as the library colours the same frames, in the palette
// the property names; with colour=bridge the buffers are the bridge's own RGB frames.
TEST(Lep3Src, RgbBuffersAreTheLibrarysColouringOrTheBridgesOwnFrames)
{
    const uint32_t rain = *lep3::names::palette_by_name("rain");
    for (const std::string colour : {"palette=rain", "colour=bridge"}) {
        SCOPED_TRACE(colour);
        Pipeline p("lep3src name=src sim=true num-buffers=5 " + colour +
                   " ! video/x-raw,format=RGB ! appsink name=sink sync=false");
        ASSERT_NE(p.play(), GST_STATE_CHANGE_FAILURE);
        const std::vector<Frame> frames = p.pull_all();
        ASSERT_EQ(frames.size(), 5U);
        expect_rising_offsets(frames);
        // The host's colouring loses the stamp: find each buffer among the emulator's frames.
        uint32_t seq = 1;
        std::vector<uint8_t> expected(kRgbBytes);
        for (const Frame &f : frames) {
            ASSERT_EQ(f.format, "RGB");
            ASSERT_EQ(f.bytes.size(), kRgbBytes);
            if (colour == "colour=bridge") {
                BridgeSim::rgb_frame(BridgeSim::stamp_of_rgb(f.bytes.data()), expected.data());
                EXPECT_EQ(f.bytes, expected);
                continue;
            }
            const uint32_t first = seq;
            while (seq < first + 200 && library_colouring(seq, rain) != f.bytes)
                ++seq;
            ASSERT_LT(seq, first + 200) << "buffer at offset " << f.offset << " is no colouring of a frame after "
                                        << first;
            ++seq;
        }
        EXPECT_NE(frames.front().bytes, frames.back().bytes);
    }
}

TEST(Lep3Src, FramesWhoseCheckByteFailsAreFlaggedAndCounted)
{
    EmulatedBridge bridge(30);
    bridge.sim().set_faults({.corrupt_frame_every = 2});
    Pipeline p("lep3src name=src device=" + bridge.path() + " num-buffers=10 ! appsink name=sink sync=false");
    ASSERT_NE(p.play(), GST_STATE_CHANGE_FAILURE);
    const std::vector<Frame> frames = p.pull_all();
    ASSERT_EQ(frames.size(), 10U);
    uint64_t flagged = 0;
    for (const Frame &f : frames) {
        flagged += f.corrupted ? 1 : 0;
        const bool damaged = !std::equal(f.raw(), f.raw() + kPixels, emulated_raw(f.raw()).begin());
        EXPECT_TRUE(f.corrupted || !damaged) << "a damaged frame at offset " << f.offset << " is not flagged";
    }
    EXPECT_EQ(p.stat("check-errors"), flagged);
    EXPECT_GT(flagged, 0U);
    EXPECT_LT(flagged, frames.size());
}

// ---- The README's lines, run as written -------------------------------------------------

// The shell lines of the README's GStreamer section.
std::vector<std::string> readme_lines()
{
    std::ifstream in(LEP3_SOURCE_DIR "/README.md");
    std::vector<std::string> lines;
    std::string line;
    bool section = false;
    bool code = false;
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0)
            section = line.find("GStreamer") != std::string::npos;
        else if (section && line.rfind("```", 0) == 0)
            code = !code;
        else if (section && code && !line.empty())
            lines.push_back(line);
    }
    return lines;
}

std::vector<Frame> decode_recording(const std::string &file)
{
    Pipeline p("filesrc location=" + file +
               " ! qtdemux ! pngdec ! videoconvert ! video/x-raw,format=GRAY16_LE ! appsink name=sink sync=false");
    EXPECT_NE(p.play(), GST_STATE_CHANGE_FAILURE);
    return p.pull_all();
}

TEST(Lep3Src, ReadmeLinesWorkAsWrittenAndTheRecordingIsLossless)
{
    SKIP_WITHOUT_TOOLS();
    const std::vector<std::string> lines = readme_lines();
    ASSERT_GE(lines.size(), 3U) << "no GStreamer section with shell lines in the README";

    // The lines are run from a directory of their own in which build/ is this build.
    const std::filesystem::path dir = std::filesystem::path(test_tmpdir()) / "readme";
    std::filesystem::create_directories(dir);
    std::filesystem::create_directory_symlink(LEP3_BUILD_DIR, dir / "build");
    std::string prefix = "cd '" + dir.string() + "' && ";
    for (const std::string &line : lines) {
        if (line.rfind("export ", 0) == 0) {
            prefix += line.substr(0, line.find('#')) + " && ";
            continue;
        }
        ASSERT_EQ(line.rfind("gst-launch-1.0 ", 0), 0U) << "unexpected line: " << line;
        // A pipeline without num-buffers runs until Ctrl-C: give it one (a single SIGINT, as
        // a terminal does; gst-launch-1.0 dies of a second one) after a few seconds.
        const bool endless = line.find("num-buffers") == std::string::npos;
        const std::string command = prefix +
                                    (endless ? "timeout --foreground --preserve-status -s INT 4 " : "timeout 60 ") +
                                    line.substr(0, line.find('#')) + " 2>&1";
        int status = -1;
        const std::string out = run(command, &status);
        EXPECT_EQ(status, 0) << line << "\n" << out;
        EXPECT_EQ(out.find("ERROR"), std::string::npos) << line << "\n" << out;
    }

    size_t pngs = 0;
    std::string recording;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        pngs += entry.path().extension() == ".png" ? 1 : 0;
        if (entry.path().extension() == ".mov")
            recording = entry.path().string();
    }
    EXPECT_GT(pngs, 0U) << "the colour pipeline wrote no PNG file";
    ASSERT_FALSE(recording.empty()) << "the recording pipeline wrote no .mov file";
    const std::vector<Frame> frames = decode_recording(recording);
    ASSERT_GT(frames.size(), 0U);
    for (const Frame &f : frames) {
        ASSERT_EQ(f.bytes.size(), kRawBytes);
        EXPECT_TRUE(std::equal(f.raw(), f.raw() + kPixels, emulated_raw(f.raw()).begin()))
            << "recorded frame stamped " << BridgeSim::stamp_of_raw(f.raw()) << " differs from the emulator's";
    }
}

} // namespace
} // namespace lep3::gsttest
