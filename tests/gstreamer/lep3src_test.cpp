// lep3src in working pipelines (the raw and colour buffers against the emulator's frames
// and the library's colouring, the counters, the defaults, the README's lines) and when
// things go wrong: a silent or unplugged bridge, one that returns, a bridge held by another
// process or by another element until its release at EOS or NULL.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <tuple>

#include "gstreamer/pipeline.h"
#include "lep3.h"
#include "names/palettes.h"
#include "support/spawn_program.h"

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
    // No display here: autovideosink falls back to a fake sink, unless it first tries DirectFB,
    // which crashes without a frame buffer (GStreamer's bad plugins bring it).
    std::string prefix = "cd '" + dir.string() + "' && export GST_PLUGIN_FEATURE_RANK=dfbvideosink:NONE && ";
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

// ---- When things go wrong --------------------------------------------------------------

// Margin on top of a time-out for a loaded machine, small enough that an element that
// ignored timeout-ms (default 3000 ms) would miss it; the tests assert bounds, not speed.
constexpr GstClockTime kMargin = 2 * GST_SECOND;

std::string appsink_pipeline(const std::string &device, const std::string &properties = "")
{
    return "lep3src name=src device=" + device + " " + properties + " ! appsink name=sink sync=false";
}

// A bridge that falls silent, or is unplugged and stays away: an error once the time-out
// has passed, and the library's words about the loss go to the debug log, not the console.
TEST(Lep3SrcFailure, ASilentOrVanishedBridgeEndsInAnErrorOnceTheTimeoutHasPassed)
{
    const struct {
        bool unplug;
        GstClockTime timeout_ms;
        const char *error;
    } cases[] = {{false, 600, "No frame from the bridge"},
                 {true, 500, "is gone (unplugged?) and did not come back within 500 ms"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        EmulatedBridge bridge;
        Pipeline p(appsink_pipeline(bridge.path(), "timeout-ms=" + std::to_string(c.timeout_ms)));
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        ASSERT_NE(p.play(), GST_STATE_CHANGE_FAILURE);
        const auto first = p.pull();
        ASSERT_TRUE(first);
        if (c.unplug)
            bridge.unplug();
        else
            bridge.sim().set_faults({.silent = true});
        // The element's time-out counts from the last buffer's frame: how long after it, in
        // running time, the error came.
        const std::string error = p.wait_end(10s);
        const GstClockTime at = p.running_time();
        GstClockTime last = first->pts;
        while (auto f = p.pull(200ms))
            last = f->pts;
        p.stop();
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_GE(at - last, c.timeout_ms * GST_MSECOND);
        EXPECT_LE(at - last, c.timeout_ms * GST_MSECOND + kMargin);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err.find("LEP3"), std::string::npos) << err;
    }
}

TEST(Lep3SrcFailure, ABridgeThatReturnsWithinTheTimeoutKeepsTheStreamGoing)
{
    EmulatedBridge bridge;
    Pipeline p("lep3src name=src device=" + bridge.path() +
               " timeout-ms=10000 ! appsink name=sink sync=false max-buffers=1 drop=true");
    ASSERT_NE(p.play(), GST_STATE_CHANGE_FAILURE);
    auto before = p.pull();
    ASSERT_TRUE(before);
    bridge.unplug();
    ASSERT_TRUE(eventually([] { return LEP3_GetLinkState() == LEP3_LINK_GONE; }));
    std::this_thread::sleep_for(200ms);
    bridge.plug();
    ASSERT_TRUE(eventually([&] { return p.stat("reconnects") == 1; }, 10s)) << p.wait_end(0ms);
    for (int i = 0; i < 3; ++i) {
        auto next = p.pull();
        ASSERT_TRUE(next) << p.wait_end(0ms);
        EXPECT_GT(next->offset, before->offset);
        before = next;
    }
    EXPECT_EQ(p.stat("reconnects"), 1U);
    EXPECT_EQ(p.wait_end(0ms), "");
}

// The process whose command line names path, or -1.
pid_t process_naming(const std::string &path)
{
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream cmdline(entry.path() / "cmdline");
        std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        if (args.find(path) != std::string::npos)
            return static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
    }
    return -1;
}

// Whether the process holds a lock on the device, as the kernel's table of locks shows it.
bool holds_lock_on(pid_t pid, const std::string &device)
{
    struct stat st {};
    std::ifstream locks("/proc/locks");
    for (std::string line; stat(device.c_str(), &st) == 0 && std::getline(locks, line);) {
        std::istringstream fields(line); // "1: FLOCK ADVISORY WRITE <pid> <major>:<minor>:<inode> ..."
        std::string skip, file;
        long holder = 0;
        if (fields >> skip >> skip >> skip >> skip >> holder >> file && holder == pid &&
            file.ends_with(":" + std::to_string(st.st_ino)))
            return true;
    }
    return false;
}

// gst-launch-1.0 running "lep3src sim=true ! fakesink" in a process of its own holds the
// emulator it started: a pipeline here is refused with the holder named; the emulator ends
// when its host is killed outright.
TEST(Lep3SrcFailure, ABridgeHeldByAnotherProcessIsRefusedAndItsEmulatorEndsWithIt)
{
    SKIP_WITHOUT_TOOLS();
    init_gstreamer(); // the child inherits GST_PLUGIN_PATH, the registry and TMPDIR
    pid_t host = -1;
    ASSERT_EQ(lep3::test::spawn_program(&host, {"gst-launch-1.0", "-q", "lep3src", "sim=true", "!", "fakesink"}), 0);
    // The element publishes the emulator's device in a directory under TMPDIR, then takes it.
    std::string device;
    const bool published = eventually(
        [&] {
            for (const auto &entry : std::filesystem::directory_iterator(test_tmpdir()))
                if (std::filesystem::exists(entry.path() / "ttyACM0"))
                    device = (entry.path() / "ttyACM0").string();
            return !device.empty() && holds_lock_on(host, device);
        },
        20s);
    const pid_t emulator = published ? process_naming(device) : -1;
    if (published) {
        Pipeline p(appsink_pipeline(device));
        EXPECT_EQ(p.play(), GST_STATE_CHANGE_FAILURE);
        const std::string end = p.wait_end(1s);
        EXPECT_NE(end.find("is in use by process " + std::to_string(host)), std::string::npos) << end;
    }
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    ASSERT_GT(emulator, 0) << "no emulator published a device";
    const bool ended = eventually([&] { return kill(emulator, 0) != 0; }, 5s);
    EXPECT_TRUE(ended) << "the emulator outlived its host";
    if (!ended)
        kill(emulator, SIGTERM);
}

// One element per process: a second is refused while the first streams, undisturbed.
// The first lets go of the port at EOS, and at NULL even while it waits for a frame that
// will not come, so the next pipeline opens it at once.
TEST(Lep3SrcFailure, ASecondElementIsRefusedUntilTheFirstLetsGoAtEosOrNull)
{
    EmulatedBridge bridge;
    {
        Pipeline ended(appsink_pipeline(bridge.path(), "num-buffers=3"));
        ASSERT_NE(ended.play(), GST_STATE_CHANGE_FAILURE);
        EXPECT_EQ(ended.pull_all().size(), 3U);
        EXPECT_EQ(ended.wait_end(5s), "EOS");
        const auto t = Clock::now();
        EXPECT_EQ(ended.stop(), GST_STATE_CHANGE_SUCCESS);
        EXPECT_LE(seconds_since(t), 2.0);
    }

    Pipeline waiting(appsink_pipeline(bridge.path(), "timeout-ms=0"));
    ASSERT_NE(waiting.play(), GST_STATE_CHANGE_FAILURE);
    ASSERT_TRUE(waiting.pull());
    Pipeline second(appsink_pipeline(bridge.path()));
    EXPECT_EQ(second.play(), GST_STATE_CHANGE_FAILURE);
    const std::string end = second.wait_end(1s);
    EXPECT_NE(end.find("Another lep3src in this process"), std::string::npos) << end;
    EXPECT_NE(end.find("one camera per process"), std::string::npos) << end;
    EXPECT_TRUE(waiting.pull()) << "the refusal disturbed the first element";

    bridge.sim().set_faults({.silent = true});
    std::this_thread::sleep_for(300ms);
    const auto t = Clock::now();
    EXPECT_EQ(waiting.stop(), GST_STATE_CHANGE_SUCCESS);
    EXPECT_LE(seconds_since(t), 2.0);

    bridge.sim().set_faults({});
    second.stop();
    ASSERT_NE(second.play(), GST_STATE_CHANGE_FAILURE);
    EXPECT_TRUE(second.pull());
}

} // namespace
} // namespace lep3::gsttest
