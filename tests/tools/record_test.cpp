// lep3 record, inspect and the emulator's replay together: a recording (compressed, as
// by default) replayed and recorded again (uncompressed) gives the same values frame by
// frame with the same metadata, and whatever cuts a recording short (a stop signal, an
// unplugged bridge, a full disk) leaves files that open with every frame the summary
// counts.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "lep3.h"
#include "recording/reader.h"
#include "recording/writer.h"
#include "sim/bridge_sim.h"
#include "tools/tool_fixture.h"

namespace {

namespace rec = lep3::recording;
using lep3::test::expect_clean_failure;
using lep3::test::run_tool;
using lep3::test::ToolProcess;
using namespace std::chrono_literals;

struct Recording {
    rec::FileInfo file;
    std::vector<rec::PageInfo> pages;
    std::vector<std::vector<std::byte>> values;
};

Recording read_recording(const std::string &path)
{
    rec::RecordingReader reader(path);
    Recording r{reader.file(), {}, {}};
    const size_t bytes = rec::kPixels * (r.file.values == rec::Values::raw ? sizeof(uint16_t) : sizeof(float));
    std::vector<std::byte> values(bytes);
    rec::PageInfo page;
    while (reader.next(page, values)) {
        r.pages.push_back(page);
        r.values.push_back(values);
    }
    return r;
}

std::vector<uint16_t> raw_of(const std::vector<std::byte> &bytes)
{
    std::vector<uint16_t> raw(bytes.size() / 2);
    std::memcpy(raw.data(), bytes.data(), bytes.size());
    return raw;
}

// The frame count of the summary line "FILE: N frames, ...".
uint64_t summary_frames(const std::string &out, const std::string &file)
{
    const auto m = lep3::test::search(out, (file + ": ([0-9]+) frames?").c_str());
    return m ? std::stoull((*m)[1]) : ~uint64_t{0};
}

// Waits until the recording in progress holds at least n pages: the file is complete at
// every moment, so it can be read while it grows.
bool wait_for_pages(const std::string &path, uint64_t n)
{
    return lep3::test::eventually(
        [&] {
            try {
                return rec::RecordingReader(path).pages() >= n;
            } catch (const rec::ReadError &) {
                return false; // not created yet
            }
        },
        30s);
}

using RecordTest = lep3::test::ToolTest;

TEST_F(RecordTest, ReplayedAndRecordedAgainGivesTheSameFramesAndMetadata)
{
    const std::string first = path("first.tif"), second = path("second.tif");
    auto r = run_tool({"record", "--sim", "-n", "6", "-o", first});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(summary_frames(r.out, first), 6U) << r.out;
    const Recording a = read_recording(first);
    ASSERT_EQ(a.pages.size(), 6U);
    EXPECT_EQ(a.file.library_version, LEP3_GetLibraryVersion());
    EXPECT_EQ(a.file.firmware_version, 0x0106U);
    ASSERT_TRUE(a.file.serial_number.has_value());
    // Lossless: every page is a frame the emulator sent, exactly.
    for (size_t k = 0; k < a.pages.size(); ++k) {
        const std::vector<uint16_t> raw = raw_of(a.values[k]);
        std::vector<uint16_t> sent(rec::kPixels);
        lep3::sim::BridgeSim::raw_frame(lep3::sim::BridgeSim::stamp_of_raw(raw.data()), sent.data());
        EXPECT_EQ(raw, sent) << "page " << k + 1;
        EXPECT_TRUE(a.pages[k].rbfo.has_value());
    }

    lep3::sim::Options replay;
    replay.path = path("replay/ttyACM0");
    replay.replay = first;
    {
        lep3::sim::BridgeSim sim(replay);
        r = run_tool({"record", "--device", replay.path, "-n", "6", "--no-compress", "-o", second});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    const Recording b = read_recording(second);
    ASSERT_EQ(b.pages.size(), 6U);
    EXPECT_EQ(b.file, a.file);
    // Frame by frame: the k-th page of the second recording is the first's page that its
    // frame number says (a frame the recorder did not take in time is a gap in both).
    for (size_t k = 0; k < b.pages.size(); ++k) {
        SCOPED_TRACE(k);
        const uint32_t j = b.pages[k].frame_number - b.pages[0].frame_number;
        ASSERT_LT(j, a.pages.size());
        EXPECT_TRUE(b.values[k] == a.values[j]);
        EXPECT_EQ(b.pages[k].fpa_celsius, a.pages[j].fpa_celsius);
        EXPECT_EQ(b.pages[k].rbfo, a.pages[j].rbfo);
        EXPECT_EQ(b.pages[k].rbfo_set, a.pages[j].rbfo_set);
    }
    EXPECT_EQ(rec::RecordingReader(first).survey().compressed_pages, 6U);
    EXPECT_EQ(rec::RecordingReader(second).survey().compressed_pages, 0U);

    r = run_tool({"inspect", first, "--pages"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(lep3::test::search(r.out, "frames: +6 \\(numbers 1\\.\\.")) << r.out;
    EXPECT_TRUE(lep3::test::search(r.out, "RBFO \\(internal\\): R 878900, B 1428, F 1, O 1000")) << r.out;
    EXPECT_TRUE(lep3::test::search(r.out, "size: +[0-9.]+ MB \\([0-9.]+ kB a frame, Deflate\\)")) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 16 + 6) << r.out;
}

// The object parameters and regions given to record come back from the file, the Celsius
// pages are the object's temperatures, and a file without them still measures with the
// defaults. (inspect with a parameter replaced is the Python package's recording test.)
TEST_F(RecordTest, ObjectParametersAndRegionsAreRecordedAndMeasuredAgain)
{
    const std::string file = path("object.tif");
    auto r = run_tool({"record", "--sim", "-n", "2", "--celsius", "--emissivity", "0.9", "--distance", "2", "--box",
                       "hot=10,10,50,40", "--spot", "80,60", "-o", file});
    ASSERT_EQ(r.status, 0) << r.err;
    const Recording a = read_recording(file), c = read_recording(path("object-celsius.tif"));
    ASSERT_TRUE(a.file.object.has_value());
    lep3_object_params_t object{};
    LEP3_DefaultObjectParams(&object);
    object.emissivity = 0.9F;
    object.distance_m = 2;
    EXPECT_TRUE(rec::same_object(*a.file.object, object));
    ASSERT_EQ(a.file.regions.size(), 2U); // as inspect shows them below
    rec::FileInfo celsius_file = a.file;
    celsius_file.values = rec::Values::celsius;
    EXPECT_EQ(c.file, celsius_file);

    // The second page's box mean, by the library, for the parameters inspect should use.
    const std::vector<uint16_t> raw = raw_of(a.values[1]);
    ASSERT_TRUE(a.pages[1].rbfo.has_value());
    const auto hot_mean = [&](const lep3_object_params_t &p) {
        std::vector<float> celsius(rec::kPixels);
        EXPECT_EQ(LEP3_RawToObjectCelsius(raw.data(), celsius.data(), static_cast<int32_t>(a.pages[1].rbfo->r),
                                          static_cast<int32_t>(a.pages[1].rbfo->o), &p),
                  0);
        lep3_region_stats_t s{};
        LEP3_MeasureRegion(celsius.data(), &a.file.regions[1].region, &s);
        return s.mean;
    };
    std::vector<float> object_page(rec::kPixels);
    std::memcpy(object_page.data(), c.values[1].data(), c.values[1].size());
    lep3_region_stats_t recorded{};
    LEP3_MeasureRegion(object_page.data(), &a.file.regions[1].region, &recorded);
    EXPECT_EQ(recorded.mean, hot_mean(object));

    r = run_tool({"inspect", file});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(lep3::test::search(r.out, "object: +emissivity 0.9, .*distance 2 m")) << r.out;
    EXPECT_TRUE(lep3::test::search(r.out, "regions: +spot spot1=80,60; box hot=10,10,50,40\n")) << r.out;

    // A file from before: no object lines, no regions; measured with the defaults.
    const std::string older = path("older.tif");
    {
        rec::FileInfo info = a.file;
        info.object.reset();
        info.regions.clear();
        rec::RecordingWriter w(older, info, rec::RecordingWriter::Container::classic,
                               rec::RecordingWriter::Compression::none);
        w.add(a.pages[1], raw.data());
        w.finish();
    }
    lep3_object_params_t defaults{};
    LEP3_DefaultObjectParams(&defaults);
    r = run_tool({"inspect", older, "--box", "hot=10,10,50,40"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(lep3::test::search(r.out, "object: +not recorded \\(the defaults\\)\n +regions: +none\n")) << r.out;
    const auto m = lep3::test::search(r.out, "hot: .* mean ([0-9.-]+) °C");
    ASSERT_TRUE(m) << r.out;
    EXPECT_NEAR(std::stod((*m)[1]), hot_mean(defaults), 0.006);
    expect_clean_failure(run_tool({"inspect", older, "--measure"}), "the recording names no regions");
    expect_clean_failure(run_tool({"inspect", path("object-celsius.tif"), "--emissivity", "0.5"}),
                         "are temperatures already");
}

// SIGINT and SIGHUP end a recording without a limit as it ends normally; an unplugged
// bridge with one line saying so. Either way the file holds every frame counted.
TEST_F(RecordTest, StopSignalOrUnpluggedBridgeEndsWithAFileOfEveryFrameCounted)
{
    lep3::sim::Options options;
    options.path = path("bridge/ttyACM0");
    options.fps = 30;
    for (const int signo : {SIGINT, SIGHUP, 0}) {
        SCOPED_TRACE(signo ? strsignal(signo) : "unplugged");
        auto sim = signo ? nullptr : std::make_unique<lep3::sim::BridgeSim>(options);
        const std::string file = path("stopped-" + std::to_string(signo) + ".tif");
        ToolProcess tool(signo ? std::vector<std::string>{"record", "--sim", "-o", file}
                               : std::vector<std::string>{"record", "--device", options.path, "-o", file});
        ASSERT_NE(tool.wait_for_output("recording to", 30s), std::string::npos);
        ASSERT_TRUE(wait_for_pages(file, 3));
        if (signo)
            tool.send_signal(signo);
        else
            sim.reset();
        const auto r = tool.finish();
        if (signo)
            EXPECT_EQ(r.status, 0) << r.err;
        else
            expect_clean_failure(r, "the bridge at " + options.path + " is gone; the recording stops");
        const uint64_t pages = rec::RecordingReader(file).pages();
        EXPECT_GE(pages, 3U);
        EXPECT_EQ(summary_frames(r.out, file), pages) << r.out;
    }
}

TEST_F(RecordTest, FullDiskEndsWithAClearMessageAndFilesInStep)
{
    const std::string small = path("small");
    std::filesystem::create_directory(small);
    if (mount("lep3-test", small.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "no small file system to fill: mounting a tmpfs needs privileges (" << std::strerror(errno)
                     << ")";
    const std::string file = small + "/full.tif", celsius = small + "/full-celsius.tif";
    const auto r = run_tool({"record", "--sim", "--celsius", "-o", file});
    expect_clean_failure(r, std::strerror(ENOSPC));
    EXPECT_NE(r.err.find("the recording stops and holds every frame before it"), std::string::npos) << r.err;
    const uint64_t pages = rec::RecordingReader(file).pages();
    EXPECT_GE(pages, 3U);
    EXPECT_EQ(rec::RecordingReader(celsius).pages(), pages);
    EXPECT_EQ(summary_frames(r.out, file), pages) << r.out;
    umount2(small.c_str(), MNT_DETACH);
}

TEST_F(RecordTest, MistakesAreOneLineEach)
{
    const std::string existing = path("existing.tif");
    {
        std::ofstream(existing) << "keep me\n";
    }
    for (const auto &[args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"record", "--sim"}, "record needs the file to write, with -o FILE"},
             {{"record", "--sim", "-o", existing}, existing + " exists"},
             {{"record", "--sim", "-o", path("a.tif"), "-n", "3", "--seconds", "1"}, "exclude each other"},
             {{"inspect"}, "inspect takes one recording"},
             {{"inspect", existing}, existing + " is not a TIFF file"},
         })
        expect_clean_failure(run_tool(args), message);
    EXPECT_FALSE(std::filesystem::exists(path("a.tif")));
}

} // namespace
