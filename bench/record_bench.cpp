// Recording: pages a second the TIFF writer takes, and frames a second a recording keeps
// when the emulator streams as fast as the link carries them; the resident memory at the
// start and at the end of each run shows whether it grows with the recording's length.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

constexpr double kCameraFramesPerSecond = 8.7;

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

// The writer alone: raw pages (and, with the argument 1, their Celsius pages too).
void BM_WriterPages(benchmark::State &state)
{
    const bool celsius = state.range(0) != 0;
    const std::string dir = scratch_dir();
    std::vector<uint16_t> raw(rec::kPixels);
    lep3::sim::BridgeSim::raw_frame(1, raw.data());
    std::vector<float> temps(rec::kPixels);
    const rec::FileInfo raw_file{rec::Values::raw, "bench", 262, 1};
    rec::FileInfo celsius_file = raw_file;
    celsius_file.values = rec::Values::celsius;
    uint64_t pages = 0;
    double rss_first = 0, rss_last = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove(dir + "/raw.tif");
        std::filesystem::remove(dir + "/celsius.tif");
        RecordingWriter w(dir + "/raw.tif", raw_file, RecordingWriter::Container::classic);
        std::unique_ptr<RecordingWriter> c;
        if (celsius)
            c = std::make_unique<RecordingWriter>(dir + "/celsius.tif", celsius_file,
                                                  RecordingWriter::Container::classic);
        state.ResumeTiming();
        for (uint32_t n = 1; n <= 2000; ++n) {
            const rec::PageInfo info = page_info(n);
            w.add(info, raw.data());
            if (c) {
                LEP3_LuxToKelvin(raw.data(), temps.data(), 878900, 1000);
                LEP3_KelvinToCelsius(temps.data());
                c->add(info, temps.data());
            }
            if (n == 100 && rss_first == 0)
                rss_first = resident_kb();
        }
        w.finish();
        if (c)
            c->finish();
        pages += 2000;
        rss_last = resident_kb();
    }
    std::filesystem::remove_all(dir);
    state.SetItemsProcessed(static_cast<int64_t>(pages));
    state.counters["rss_kB_at_100_pages"] = rss_first;
    state.counters["rss_kB_at_end"] = rss_last;
}
BENCHMARK(BM_WriterPages)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// What lep3 record does, end to end, with the emulator streaming as fast as the link
// takes frames: the managed session, the telemetry thread, the writer. Frames the
// recorder did not take in time are counted as missed, as the recording's gaps show.
void BM_RecordFromFastEmulator(benchmark::State &state)
{
    const std::string dir = scratch_dir();
    lep3::sim::Options options;
    options.path = dir + "/ttyACM0";
    options.fps = 0;
    lep3::sim::BridgeSim sim(options);
    LEP3_SetMessageHandler(nullptr, nullptr);
    if (LEP3_Open(options.path.c_str()) != 0 || LEP3_GetRawVideo() != 0) {
        state.SkipWithError("no session with the emulator");
        return;
    }
    std::vector<uint16_t> frame(rec::kPixels * 3 / 2);
    rec::Tally tally;
    double seconds = 0, rss_first = 0, rss_last = 0;
    {
        const rec::TelemetrySource source{LEP3_GetSysFpaTemperatureCelcius, LEP3_GetRadRBFOInternal0};
        const rec::Telemetry telemetry(source, rec::Telemetry::read(source));
        for (auto _ : state) {
            std::filesystem::remove(dir + "/rec.tif");
            RecordingWriter w(dir + "/rec.tif", rec::FileInfo{rec::Values::raw, "bench", 262, 1},
                              RecordingWriter::Container::classic);
            const auto start = Clock::now();
            while (Clock::now() - start < std::chrono::seconds(5)) {
                lep3_frame_info_t fi{};
                if (LEP3_WaitFrame(frame.data(), frame.size() * 2, &fi, 200) != 0 || fi.format != 0)
                    continue;
                rec::PageInfo page = page_info(fi.frame_number);
                const auto reading = telemetry.latest();
                page.fpa_celsius = reading.fpa_celsius;
                page.rbfo = reading.rbfo;
                w.add(page, frame.data());
                tally.add(page);
                if (rss_first == 0 && tally.frames == 100)
                    rss_first = resident_kb();
            }
            seconds += std::chrono::duration<double>(Clock::now() - start).count();
            w.finish();
            rss_last = resident_kb();
        }
    }
    LEP3_Close();
    std::filesystem::remove_all(dir);
    state.counters["frames_written_per_s"] = static_cast<double>(tally.frames) / seconds;
    state.counters["frames_missed_per_s"] = static_cast<double>(tally.missing) / seconds;
    state.counters["headroom_x"] = static_cast<double>(tally.frames) / seconds / kCameraFramesPerSecond;
    state.counters["rss_kB_at_100_frames"] = rss_first;
    state.counters["rss_kB_at_end"] = rss_last;
}
BENCHMARK(BM_RecordFromFastEmulator)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
