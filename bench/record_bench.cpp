// Recording: pages a second the TIFF writer takes on one core and the bytes a frame takes
// on disk, stored as they are or compressed, for the emulator's scene, the same scene with
// a sensor's noise and uniformly random 14-bit values (the worst case); and frames a second
// a recording keeps when the emulator streams as fast as the link carries them, its own
// scene or a replayed noisy recording. The resident memory at the start and at the end of
// each run shows whether it grows with the recording's length.
#include <benchmark/benchmark.h>
#include <time.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "lep3.h"
#include "recording/tally.h"
#include "recording/telemetry.h"
#include "recording/writer.h"
#include "sim/bridge_sim.h"

namespace {

namespace rec = lep3::recording;
using Clock = std::chrono::steady_clock;
using rec::RecordingWriter;
using Compression = RecordingWriter::Compression;

constexpr double kCameraFramesPerSecond = 8.7;

enum Scene { emulator, noisy, random14 };
// A sensor's temporal noise, in raw counts, well above a good core's.
constexpr double kNoiseCounts = 8;
constexpr uint32_t kSceneFrames = 64;

// kSceneFrames frames of a scene, one after another.
std::vector<std::array<uint16_t, rec::kPixels>> scene_frames(Scene scene)
{
    std::vector<std::array<uint16_t, rec::kPixels>> frames(kSceneFrames);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0, kNoiseCounts);
    std::uniform_int_distribution<int> any(0, 0x3FFF);
    for (uint32_t n = 0; n < kSceneFrames; ++n) {
        lep3::sim::BridgeSim::raw_frame(n + 1, frames[n].data());
        for (uint16_t &v : frames[n])
            v = scene == noisy      ? static_cast<uint16_t>(std::lround(v + noise(rng)))
                : scene == random14 ? static_cast<uint16_t>(any(rng))
                                    : v;
    }
    return frames;
}

double thread_cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Resident memory in kB, from /proc.
double resident_kb()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    double kb = 0;
    while (status >> key)
        if (key == "VmRSS:" && status >> kb)
            break;
    return kb;
}

std::string scratch_dir()
{
    std::string dir = (std::filesystem::temp_directory_path() / "lep3-record-bench-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr)
        std::abort();
    return dir;
}

rec::PageInfo page_info(uint32_t number)
{
    rec::PageInfo p;
    p.frame_number = number;
    p.host_time_us = 1700000000000000 + int64_t{number} * 114943;
    p.fpa_celsius = 27.27F;
    p.rbfo_set = "internal";
    p.rbfo = rec::Rbfo{878900, 1428, 1, 1000};
    return p;
}

// The writer alone, on this thread: raw pages (and, with celsius 1, their Celsius pages
// too) of a scene, stored as they are or compressed.
void BM_WriterPages(benchmark::State &state)
{
    const auto scene = static_cast<Scene>(state.range(0));
    const auto compression = static_cast<Compression>(state.range(1));
    const bool celsius = state.range(2) != 0;
    const std::string dir = scratch_dir();
    const auto frames = scene_frames(scene);
    std::vector<float> temps(rec::kPixels);
    const rec::FileInfo raw_file{rec::Values::raw, "bench", 262, 1};
    rec::FileInfo celsius_file = raw_file;
    celsius_file.values = rec::Values::celsius;
    uint64_t pages = 0, raw_bytes = 0, celsius_bytes = 0;
    double rss_first = 0, rss_last = 0, cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove(dir + "/raw.tif");
        std::filesystem::remove(dir + "/celsius.tif");
        RecordingWriter w(dir + "/raw.tif", raw_file, RecordingWriter::Container::classic, compression);
        std::unique_ptr<RecordingWriter> c;
        if (celsius)
            c = std::make_unique<RecordingWriter>(dir + "/celsius.tif", celsius_file,
                                                  RecordingWriter::Container::classic, compression);
        state.ResumeTiming();
        const double cpu_start = thread_cpu_seconds();
        for (uint32_t n = 1; n <= 2000; ++n) {
            const rec::PageInfo info = page_info(n);
            const uint16_t *raw = frames[n % kSceneFrames].data();
            w.add(info, raw);
            if (c) {
                LEP3_LuxToKelvin(raw, temps.data(), 878900, 1000);
                LEP3_KelvinToCelsius(temps.data());
                c->add(info, temps.data());
            }
            if (n == 100 && rss_first == 0)
                rss_first = resident_kb();
        }
        raw_bytes += w.finish();
        if (c)
            celsius_bytes += c->finish();
        cpu += thread_cpu_seconds() - cpu_start;
        pages += 2000;
        rss_last = resident_kb();
    }
    std::filesystem::remove_all(dir);
    state.SetItemsProcessed(static_cast<int64_t>(pages));
    state.counters["pages_per_cpu_s"] = static_cast<double>(pages) / cpu;
    state.counters["real_time_x"] = static_cast<double>(pages) / cpu / kCameraFramesPerSecond;
    state.counters["bytes_per_frame"] = static_cast<double>(raw_bytes) / static_cast<double>(pages);
    if (celsius)
        state.counters["celsius_bytes_per_frame"] = static_cast<double>(celsius_bytes) / static_cast<double>(pages);
    state.counters["rss_kB_at_100_pages"] = rss_first;
    state.counters["rss_kB_at_end"] = rss_last;
}
BENCHMARK(BM_WriterPages)
    ->ArgNames({"scene", "deflate", "celsius"})
    ->Args({emulator, 0, 0})
    ->Args({emulator, 1, 0})
    ->Args({noisy, 0, 0})
    ->Args({noisy, 1, 0})
    ->Args({random14, 1, 0})
    ->Args({emulator, 0, 1})
    ->Args({emulator, 1, 1})
    ->Unit(benchmark::kMillisecond);

// A raw recording of a noisy scene, uncompressed, for the emulator to replay.
std::string noisy_recording(const std::string &dir)
{
    const std::string path = dir + "/noisy.tif";
    const auto frames = scene_frames(noisy);
    RecordingWriter w(path, rec::FileInfo{rec::Values::raw, "bench", 262, 1}, RecordingWriter::Container::classic,
                      Compression::none);
    for (uint32_t n = 1; n <= kSceneFrames; ++n)
        w.add(page_info(n), frames[n - 1].data());
    w.finish();
    return path;
}

// What lep3 record does, end to end, with the emulator streaming as fast as the link
// takes frames (its own scene, or a noisy recording replayed in a loop): the managed
// session, the telemetry thread, the writer. Frames the recorder did not take in time
// are counted as missed, as the recording's gaps show.
void BM_RecordFromFastEmulator(benchmark::State &state)
{
    const bool replayed = state.range(0) != 0;
    const auto compression = static_cast<Compression>(state.range(1));
    const std::string dir = scratch_dir();
    lep3::sim::Options options;
    options.path = dir + "/ttyACM0";
    options.fps = 0;
    if (replayed) {
        options.replay = noisy_recording(dir);
        options.replay_loop = true;
        options.replay_at_fps = true;
    }
    lep3::sim::BridgeSim sim(options);
    LEP3_SetMessageHandler(nullptr, nullptr);
    if (LEP3_Open(options.path.c_str()) != 0 || LEP3_GetRawVideo() != 0) {
        state.SkipWithError("no session with the emulator");
        return;
    }
    std::vector<uint16_t> frame(rec::kPixels * 3 / 2);
    rec::Tally tally;
    double seconds = 0, rss_first = 0, rss_last = 0, cpu = 0;
    uint64_t bytes = 0;
    {
        const rec::TelemetrySource source{LEP3_GetSysFpaTemperatureCelcius, LEP3_GetRadRBFOInternal0};
        const rec::Telemetry telemetry(source, rec::Telemetry::read(source));
        for (auto _ : state) {
            std::filesystem::remove(dir + "/rec.tif");
            RecordingWriter w(dir + "/rec.tif", rec::FileInfo{rec::Values::raw, "bench", 262, 1},
                              RecordingWriter::Container::classic, compression);
            const auto start = Clock::now();
            while (Clock::now() - start < std::chrono::seconds(5)) {
                lep3_frame_info_t fi{};
                if (LEP3_WaitFrame(frame.data(), frame.size() * 2, &fi, 200) != 0 || fi.format != 0)
                    continue;
                rec::PageInfo page = page_info(fi.frame_number);
                const auto reading = telemetry.latest();
                page.fpa_celsius = reading.fpa_celsius;
                page.rbfo = reading.rbfo;
                const double cpu_start = thread_cpu_seconds();
                w.add(page, frame.data());
                cpu += thread_cpu_seconds() - cpu_start;
                tally.add(page);
                if (rss_first == 0 && tally.frames == 100)
                    rss_first = resident_kb();
            }
            seconds += std::chrono::duration<double>(Clock::now() - start).count();
            bytes += w.finish();
            rss_last = resident_kb();
        }
    }
    LEP3_Close();
    std::filesystem::remove_all(dir);
    state.counters["frames_written_per_s"] = static_cast<double>(tally.frames) / seconds;
    state.counters["frames_missed_per_s"] = static_cast<double>(tally.missing) / seconds;
    state.counters["headroom_x"] = static_cast<double>(tally.frames) / seconds / kCameraFramesPerSecond;
    state.counters["bytes_per_frame"] = static_cast<double>(bytes) / static_cast<double>(tally.frames);
    state.counters["writer_cpu_us_per_frame"] = cpu * 1e6 / static_cast<double>(tally.frames);
    state.counters["rss_kB_at_100_frames"] = rss_first;
    state.counters["rss_kB_at_end"] = rss_last;
}
BENCHMARK(BM_RecordFromFastEmulator)
    ->ArgNames({"replayed_noisy", "deflate"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
