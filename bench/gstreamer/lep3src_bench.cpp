// lep3src's cost and latency against the emulator at the camera's rate.
//
// cpu_us/frame is the CPU time of the thread that takes the frames, per frame: for the
// element its streaming thread (library wait and copy, the element's own work, the base
// class, a fakesink), for the bare host a loop on LEP3_WaitFrame. The difference is what the
// element costs beyond the library's own. The library's reader and parser threads are the
// same in both and not counted. latency is the time from the library's completion of a
// frame (its CLOCK_MONOTONIC stamp) to the element's push of the buffer (a probe on the
// source pad), or to LEP3_WaitFrame's return for the bare host.
#include <benchmark/benchmark.h>
#include <gst/gst.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lep3.h"
#include "sim/bridge_sim.h"

namespace {

constexpr double kCameraFps = 8.7;
constexpr int kFrames = 60;
constexpr int kWarmUpFrames = 3;

uint64_t clock_ns(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// The emulator at the camera's rate in a directory of its own.
class Bridge {
  public:
    Bridge()
    {
        dir_ = (std::filesystem::temp_directory_path() / "lep3src-bench-XXXXXX").string();
        if (mkdtemp(dir_.data()) == nullptr)
            std::abort();
        lep3::sim::Options options;
        options.path = dir_ + "/ttyACM0";
        options.boot_path = dir_ + "/ttyACM1";
        options.fps = kCameraFps;
        sim_ = std::make_unique<lep3::sim::BridgeSim>(options);
    }
    ~Bridge()
    {
        sim_.reset();
        std::filesystem::remove_all(dir_);
    }
    const std::string &path() const { return sim_->path(); }

  private:
    std::string dir_;
    std::unique_ptr<lep3::sim::BridgeSim> sim_;
};

struct Measured {
    std::vector<double> latency_us;
    uint64_t cpu_first_ns = 0;
    uint64_t cpu_last_ns = 0;
    int frames = 0;
};

void report(benchmark::State &state, Measured &m)
{
    std::sort(m.latency_us.begin(), m.latency_us.end());
    const auto at = [&](double q) { return m.latency_us[static_cast<size_t>(q * (m.latency_us.size() - 1))]; };
    state.counters["cpu_us/frame"] = static_cast<double>(m.cpu_last_ns - m.cpu_first_ns) / 1e3 / (m.frames - 1);
    state.counters["latency_median_us"] = at(0.5);
    state.counters["latency_p99_us"] = at(0.99);
    state.counters["latency_max_us"] = m.latency_us.back();
}

// A host that takes frames itself: the library's own cost per frame.
void BM_BareHostWaitFrame(benchmark::State &state)
{
    Bridge bridge;
    LEP3_SetMessageHandler(nullptr, nullptr);
    if (LEP3_Open(bridge.path().c_str()) != 0 || LEP3_GetRawVideo() != 0) {
        state.SkipWithError("cannot open the emulator");
        return;
    }
    std::vector<uint16_t> raw(lep3::sim::kPixels);
    lep3_frame_info_t info{};
    for (int i = 0; i < kWarmUpFrames; ++i)
        LEP3_WaitFrame(raw.data(), raw.size() * 2, &info, 2000);
    Measured m;
    for (auto _ : state) {
        if (LEP3_WaitFrame(raw.data(), raw.size() * 2, &info, 2000) != 0) {
            state.SkipWithError("no frame");
            break;
        }
        const uint64_t now = clock_ns(CLOCK_MONOTONIC);
        const uint64_t cpu = clock_ns(CLOCK_THREAD_CPUTIME_ID);
        m.latency_us.push_back(static_cast<double>(now - info.completed_ns) / 1e3);
        if (m.frames == 0)
            m.cpu_first_ns = cpu;
        m.cpu_last_ns = cpu;
        ++m.frames;
    }
    LEP3_Close();
    if (m.frames > 1)
        report(state, m);
}
BENCHMARK(BM_BareHostWaitFrame)->Iterations(kFrames)->Unit(benchmark::kMillisecond)->UseRealTime();

// What the streaming thread sees at each push, handed to the benchmark's thread.
struct Pushes {
    std::mutex lock;
    std::condition_variable pushed;
    Measured m;
    GstCaps *reference = gst_caps_new_empty_simple("timestamp/x-lep3-monotonic");
    ~Pushes() { gst_caps_unref(reference); }
};

GstPadProbeReturn on_push(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    auto *p = static_cast<Pushes *>(data);
    const uint64_t now = clock_ns(CLOCK_MONOTONIC);
    const uint64_t cpu = clock_ns(CLOCK_THREAD_CPUTIME_ID);
    GstReferenceTimestampMeta *meta =
        gst_buffer_get_reference_timestamp_meta(GST_PAD_PROBE_INFO_BUFFER(info), p->reference);
    {
        const std::lock_guard guard(p->lock);
        if (meta != nullptr)
            p->m.latency_us.push_back(static_cast<double>(now - meta->timestamp) / 1e3);
        if (p->m.frames == 0)
            p->m.cpu_first_ns = cpu;
        p->m.cpu_last_ns = cpu;
        ++p->m.frames;
    }
    p->pushed.notify_all();
    return GST_PAD_PROBE_OK;
}

void BM_Lep3src(benchmark::State &state, const char *properties, const char *caps)
{
    Bridge bridge;
    const std::string description = std::string("lep3src name=src device=") + bridge.path() + " " + properties + " ! " +
                                    caps + " ! fakesink sync=false";
    GstElement *pipeline = gst_parse_launch(description.c_str(), nullptr);
    GstElement *src = pipeline != nullptr ? gst_bin_get_by_name(GST_BIN(pipeline), "src") : nullptr;
    if (src == nullptr) {
        state.SkipWithError("cannot build the pipeline (is the plugin built?)");
        return;
    }
    Pushes pushes;
    GstPad *pad = gst_element_get_static_pad(src, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, on_push, &pushes, nullptr);
    gst_object_unref(pad);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);

    int seen = 0;
    const auto wait_push = [&] {
        std::unique_lock guard(pushes.lock);
        return pushes.pushed.wait_for(guard, std::chrono::seconds(3), [&] { return pushes.m.frames > seen; });
    };
    for (int i = 0; i < kWarmUpFrames && wait_push(); ++i)
        seen = pushes.m.frames;
    {
        const std::lock_guard guard(pushes.lock);
        pushes.m = Measured{};
        seen = 0;
    }
    for (auto _ : state) {
        if (!wait_push()) {
            state.SkipWithError("no frame");
            break;
        }
        const std::lock_guard guard(pushes.lock);
        seen = pushes.m.frames;
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(pipeline);
    if (pushes.m.frames > 1)
        report(state, pushes.m);
}
BENCHMARK_CAPTURE(BM_Lep3src, raw, "", "video/x-raw,format=GRAY16_LE")
    ->Iterations(kFrames)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Lep3src, rgb_host, "colour=host", "video/x-raw,format=RGB")
    ->Iterations(kFrames)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Lep3src, rgb_bridge, "colour=bridge", "video/x-raw,format=RGB")
    ->Iterations(kFrames)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The library's colouring that colour=host adds per frame.
void BM_HostColouring(benchmark::State &state)
{
    std::vector<uint16_t> raw(lep3::sim::kPixels);
    std::vector<uint8_t> gray(lep3::sim::kPixels);
    std::vector<uint8_t> rgb(lep3::sim::kPixels * 3);
    lep3::sim::BridgeSim::raw_frame(42, raw.data());
    uint16_t max = 0;
    uint16_t min = 0;
    for (auto _ : state) {
        Gray14ToGray8(raw.data(), gray.data(), &max, &min, 0);
        Gray8ToRGB24(gray.data(), rgb.data(), 4);
        benchmark::DoNotOptimize(rgb.data());
    }
}
BENCHMARK(BM_HostColouring)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    setenv("GST_PLUGIN_PATH", LEP3_GST_PLUGIN_DIR, 0);
    setenv("GST_REGISTRY_1_0", LEP3_GST_BENCH_REGISTRY, 0);
    gst_init(&argc, &argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
