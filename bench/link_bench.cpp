// The link's own loops: bytes a second from a descriptor through the reader, the byte
// queue, the parser and into the frame queue; and, for each length of the queue waits'
// polls, the time from a frame's last byte to its delivery to the host, and the CPU and
// wake-ups of the loops and of a waiting host thread, idle and while the emulator streams
// RGB video in real time.
//
// Settings are the benchmarks' two arguments: the loops' poll and the frame wait's poll in
// microseconds; 0 is the prescribed 1 us poll, as before. A wake-up is a voluntary context
// switch: the thread slept or blocked and was woken.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "bench/scene.h"
#include "link/link_internal.h"
#include "session/session_internal.h"
#include "sim/bridge_sim.h"

namespace {

using Clock = std::chrono::steady_clock;
using lep3::link::Fd;

constexpr double kRgbFrameOnWire = 5 + 58560 + 1;                    // head, data, check byte
constexpr double kRealTimeRgbBytesPerSecond = kRgbFrameOnWire * 8.7; // ~510 kB/s
constexpr int kFramesPerIteration = 20;

pid_t thread_id()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// What the kernel has counted for one thread of this process so far.
struct ThreadUsage {
    double cpu_seconds = 0;
    double wake_ups = 0;

    static ThreadUsage of(pid_t tid)
    {
        ThreadUsage usage;
        const std::string task = "/proc/self/task/" + std::to_string(tid);
        std::ifstream schedstat(task + "/schedstat"); // time on a CPU in ns, first
        double run_ns = 0;
        schedstat >> run_ns;
        usage.cpu_seconds = run_ns * 1e-9;
        std::ifstream status(task + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                usage.wake_ups = std::stod(line.substr(line.find(':') + 1));
        }
        return usage;
    }
    ThreadUsage operator-(const ThreadUsage &before) const
    {
        return {cpu_seconds - before.cpu_seconds, wake_ups - before.wake_ups};
    }
};

// The reader and parser loops in threads of their own, as a host runs them, each telling
// its kernel thread ID.
class LinkThreads {
  public:
    LinkThreads()
    {
        reader_.start(LEP3_Read_Thr);
        parser_.start(LEP3_Parse_Thr);
    }
    ~LinkThreads()
    {
        reader_.stop();
        parser_.stop();
    }
    LinkThreads(const LinkThreads &) = delete;
    LinkThreads &operator=(const LinkThreads &) = delete;

    ThreadUsage reader() const { return ThreadUsage::of(reader_.tid.load()); }
    ThreadUsage parser() const { return ThreadUsage::of(parser_.tid.load()); }

  private:
    struct Loop {
        pthread_t thread{};
        void *(*routine)(void *) = nullptr;
        std::atomic<pid_t> tid{0};

        void start(void *(*r)(void *))
        {
            routine = r;
            pthread_create(&thread, nullptr, trampoline, this);
            while (tid.load() == 0)
                std::this_thread::yield();
        }
        void stop()
        {
            pthread_cancel(thread);
            pthread_join(thread, nullptr);
        }
        static void *trampoline(void *self)
        {
            auto *loop = static_cast<Loop *>(self);
            loop->tid.store(thread_id());
            return loop->routine(nullptr);
        }
    };
    Loop reader_;
    Loop parser_;
};

// The setting a benchmark runs with: arguments 0 and 1 in microseconds.
void apply_setting(benchmark::State &state)
{
    lep3::link::set_poll_pause({std::chrono::microseconds(state.range(0)), std::chrono::microseconds(state.range(1))});
}

void every_setting(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"loop_us", "wait_us"});
    for (const auto &[loops, wait] :
         {std::pair{0, 0}, {100, 100}, {250, 250}, {500, 500}, {750, 750}, {1000, 1000}, {500, 250}, {250, 500}})
        b->Args({loops, wait});
}

// Fresh queues and parser variables with uart_fd reading from the given descriptor.
void fresh_link(int fd)
{
    uart_fd = fd;
    queue_init(&uart_queue, lep3::link::kUartQueueBytes);
    frame_queue_init(&frame_queue, static_cast<int32_t>(lep3::link::kRgbFrameBytes), 120, 160);
    lep3::link::reset_parser();
    frame_desc = frame_desc_t{0, 0, 160, 120, 19200, 0};
    last_delivered = 0;
}

void release_link()
{
    queue_clear(&uart_queue);
    frame_queue_free(&frame_queue);
    uart_fd = -1;
}

uint64_t rgb_frames_done()
{
    lep3_link_stats_t s{};
    LEP3_GetLinkStats(&s);
    return s.frames_rgb;
}

bool write_all(int fd, std::span<const uint8_t> bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n <= 0)
            return false;
        bytes = bytes.subspan(static_cast<size_t>(n));
    }
    return true;
}

// Each iteration writes the stream of kFramesPerIteration RGB frames and waits until the
// parser has completed them all.
void feed_frames(benchmark::State &state, int fd, std::span<const uint8_t> stream)
{
    for (auto _ : state) {
        const uint64_t target = rgb_frames_done() + kFramesPerIteration;
        if (!write_all(fd, stream)) {
            state.SkipWithError("write to the pipe failed");
            break;
        }
        while (rgb_frames_done() < target)
            usleep(20);
    }
}

struct Pipe {
    Pipe()
    {
        int fds[2] = {-1, -1};
        if (pipe(fds) == 0) {
            read_end.reset(fds[0]);
            write_end.reset(fds[1]);
        }
    }
    Fd read_end;
    Fd write_end;
};

struct Frame {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(lep3::link::kRgbFrameBytes);
    uint32_t width = 0, height = 0, format = 0, size = 0, number = 0;
    void take() { LEP3_GetFrameFromQueue(bytes.data(), &width, &height, &format, &size, &number); }
};

// Reader -> byte queue -> parser -> frame queue at full speed, fed from a pipe.
void BM_LinkThroughput(benchmark::State &state)
{
    lep3::link::set_poll_pause(lep3::link::kPollPause);
    std::vector<uint8_t> stream;
    for (int i = 0; i < kFramesPerIteration; ++i) {
        const auto frame = lep3::bench::frame_packet(true, static_cast<uint32_t>(i + 1));
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    Pipe pipe;
    fresh_link(pipe.read_end.get());
    ThreadUsage reader;
    ThreadUsage parser;
    {
        LinkThreads threads;
        const ThreadUsage r0 = threads.reader();
        const ThreadUsage p0 = threads.parser();
        feed_frames(state, pipe.write_end.get(), stream);
        reader = threads.reader() - r0;
        parser = threads.parser() - p0;
    }
    release_link();
    const auto bytes = static_cast<double>(stream.size()) * static_cast<double>(state.iterations());
    // CPU per byte of each loop: what the machine's other load cannot inflate.
    state.counters["reader_ns_per_byte"] = reader.cpu_seconds * 1e9 / bytes;
    state.counters["parser_ns_per_byte"] = parser.cpu_seconds * 1e9 / bytes;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["x_rgb_realtime"] =
        benchmark::Counter(bytes / kRealTimeRgbBytesPerSecond, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LinkThroughput)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The parser's own work per byte: the state table over RGB frame packets, check bytes
// and all, called in this thread with no queue or loop around it. CPU time, so the
// machine's other load hardly moves it.
void BM_ParserPerByte(benchmark::State &state)
{
    std::vector<uint8_t> stream;
    for (int i = 0; i < 4; ++i) {
        const auto frame = lep3::bench::frame_packet(true, static_cast<uint32_t>(i + 1));
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    fresh_link(-1);
    for (auto _ : state)
        for (const uint8_t b : stream)
            lep3::link::parse_byte(b);
    release_link();
    state.SetBytesProcessed(static_cast<int64_t>(stream.size()) * static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ParserPerByte)->Unit(benchmark::kMillisecond);

// From the write of a frame's last byte to the host holding the frame in its buffer. The
// last byte is written at a random moment of the parser's poll, as a real bridge's is.
void BM_FrameDeliveryLatency(benchmark::State &state)
{
    apply_setting(state);
    const auto packet = lep3::bench::frame_packet(true, 1);
    const size_t last = packet.size() - 2; // the last data byte; the check byte is not sent
    const int32_t before_last = lep3::link::kRgbPacketData - 1;
    Pipe pipe;
    fresh_link(pipe.read_end.get());
    Frame frame;
    std::vector<double> latencies;
    std::mt19937 rng(1);
    {
        LinkThreads threads;
        for (auto _ : state) {
            write_all(pipe.write_end.get(), std::span(packet).first(last));
            while (std::atomic_ref<int32_t>(image_buffer_index).load(std::memory_order_relaxed) != before_last ||
                   parser_state != static_cast<int32_t>(lep3::link::ParserState::rgb_data))
                usleep(50);
            usleep(static_cast<useconds_t>(rng() % 1000));
            const auto t0 = Clock::now();
            write_all(pipe.write_end.get(), std::span(packet).subspan(last, 1));
            frame.take();
            const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
            latencies.push_back(seconds);
            state.SetIterationTime(seconds);
        }
    }
    release_link();
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_us"] = latencies[latencies.size() / 2] * 1e6;
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100] * 1e6;
    state.counters["worst_us"] = latencies.back() * 1e6;
}
BENCHMARK(BM_FrameDeliveryLatency)
    ->Apply(every_setting)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(300);

// An idle link: both loops running, no byte arriving, one host thread waiting in
// LEP3_GetFrameFromQueue and another in LEP3_WaitFrame.
void BM_LinkIdle(benchmark::State &state)
{
    apply_setting(state);
    Pipe pipe;
    fresh_link(pipe.read_end.get());
    std::atomic<pid_t> getter_tid{0};
    std::atomic<pid_t> waiter_tid{0};
    std::atomic<bool> got{false};
    std::atomic<bool> stop{false};
    ThreadUsage parser, reader, getter, waiter;
    double wall = 0;
    {
        LinkThreads threads;
        std::thread get([&] {
            getter_tid.store(thread_id());
            Frame frame;
            frame.take();
            got.store(true);
        });
        std::thread wait([&] {
            waiter_tid.store(thread_id());
            std::vector<uint8_t> buffer(lep3::link::kRgbFrameBytes);
            while (!stop.load())
                LEP3_WaitFrame(buffer.data(), buffer.size(), nullptr, 100);
        });
        while (getter_tid.load() == 0 || waiter_tid.load() == 0)
            std::this_thread::yield();
        for (auto _ : state) {
            const ThreadUsage r0 = threads.reader(), p0 = threads.parser();
            const ThreadUsage g0 = ThreadUsage::of(getter_tid), w0 = ThreadUsage::of(waiter_tid);
            const auto t0 = Clock::now();
            std::this_thread::sleep_for(std::chrono::seconds(2));
            wall += std::chrono::duration<double>(Clock::now() - t0).count();
            reader = threads.reader() - r0;
            parser = threads.parser() - p0;
            getter = ThreadUsage::of(getter_tid) - g0;
            waiter = ThreadUsage::of(waiter_tid) - w0;
        }
        stop.store(true);
        frame_desc_t desc{0, lep3::link::kFormatRaw, 160, 120, lep3::link::kRawFrameBytes, 1};
        std::vector<uint8_t> raw(lep3::link::kRawFrameBytes);
        while (!got.load()) { // a frame releases the getter
            LEP3_SendFrameToQueue(raw.data(), &desc);
            ++desc.frame_number;
            usleep(1000);
        }
        get.join();
        wait.join();
    }
    release_link();
    state.counters["parser_cpu_pct"] = 100 * parser.cpu_seconds / wall;
    state.counters["parser_wakeups_per_s"] = parser.wake_ups / wall;
    state.counters["reader_wakeups_per_s"] = reader.wake_ups / wall;
    state.counters["getframe_cpu_pct"] = 100 * getter.cpu_seconds / wall;
    state.counters["getframe_wakeups_per_s"] = getter.wake_ups / wall;
    state.counters["waitframe_wakeups_per_s"] = waiter.wake_ups / wall;
}
BENCHMARK(BM_LinkIdle)->Apply(every_setting)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// A private directory for the emulator's device, streaming RGB at 8.7 fps; removed with
// everything in it at the end.
struct RealTimeRgbDevice {
    RealTimeRgbDevice()
    {
        char templ[] = "/tmp/lep3-bench-XXXXXX";
        if (mkdtemp(templ) == nullptr)
            return;
        dir = templ;
        options.path = dir + "/ttyACM0";
        options.fps = 8.7;
    }
    ~RealTimeRgbDevice()
    {
        if (made())
            std::filesystem::remove_all(dir);
    }
    RealTimeRgbDevice(const RealTimeRgbDevice &) = delete;
    RealTimeRgbDevice &operator=(const RealTimeRgbDevice &) = delete;
    bool made() const { return !dir.empty(); }

    std::string dir;
    lep3::sim::Options options;
};

constexpr int kFrames = 26; // three seconds of real-time RGB

// Applies the benchmark's poll setting; false (and the benchmark skipped) when the device
// has no directory.
bool ready(benchmark::State &state, const RealTimeRgbDevice &device)
{
    apply_setting(state);
    if (device.made())
        return true;
    state.SkipWithError("mkdtemp failed");
    return false;
}

// The loops while the emulator streams RGB at 8.7 fps and the host takes every frame.
void BM_LinkAtRealTimeRgb(benchmark::State &state)
{
    const RealTimeRgbDevice device;
    if (!ready(state, device))
        return;
    const lep3::sim::Options &options = device.options;
    ThreadUsage reader, parser, host;
    double wall = 0, frames = 0;
    {
        lep3::sim::BridgeSim sim(options);
        LEP3_SetPath(LEP3_PATH_UART, options.path.c_str());
        if (LEP3_Init() != 0) {
            state.SkipWithError("LEP3_Init failed");
            return;
        }
        Frame frame;
        {
            LinkThreads threads;
            LEP3_GetRGBVideo();
            frame.take(); // streaming has begun
            for (auto _ : state) {
                const ThreadUsage r0 = threads.reader(), p0 = threads.parser(), h0 = ThreadUsage::of(thread_id());
                const auto t0 = Clock::now();
                for (int i = 0; i < kFrames; ++i)
                    frame.take();
                wall += std::chrono::duration<double>(Clock::now() - t0).count();
                reader = threads.reader() - r0;
                parser = threads.parser() - p0;
                host = ThreadUsage::of(thread_id()) - h0;
                frames += kFrames;
            }
        }
        LEP3_Destroy();
    }
    state.counters["fps"] = frames / wall;
    state.counters["reader_cpu_pct"] = 100 * reader.cpu_seconds / wall;
    state.counters["parser_cpu_pct"] = 100 * parser.cpu_seconds / wall;
    state.counters["loops_cpu_pct"] = 100 * (reader.cpu_seconds + parser.cpu_seconds) / wall;
    state.counters["reader_wakeups_per_s"] = reader.wake_ups / wall;
    state.counters["parser_wakeups_per_s"] = parser.wake_ups / wall;
    state.counters["getframe_cpu_pct"] = 100 * host.cpu_seconds / wall;
    state.counters["getframe_wakeups_per_s"] = host.wake_ups / wall;
}
BENCHMARK(BM_LinkAtRealTimeRgb)->Apply(every_setting)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The threads of this process, by kernel thread ID.
std::vector<pid_t> tasks()
{
    std::vector<pid_t> ids;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/task"))
        ids.push_back(static_cast<pid_t>(std::stol(entry.path().filename().string())));
    std::sort(ids.begin(), ids.end());
    return ids;
}

// ---- The session's own loops: event-driven, reads handed over whole ----------------------
//
// The session no longer polls, so the poll settings above don't apply to it: each of these
// runs once. Its threads are those LEP3_Open (or start_loops) started; a host thread takes
// frames with LEP3_WaitFrame. The emulator runs in this process, so its threads are left out.

// Summed over a set of threads.
ThreadUsage usage_of(const std::vector<pid_t> &ids)
{
    ThreadUsage sum;
    for (const pid_t id : ids) {
        const ThreadUsage u = ThreadUsage::of(id);
        sum.cpu_seconds += u.cpu_seconds;
        sum.wake_ups += u.wake_ups;
    }
    return sum;
}

// Threads that appeared since `before`.
std::vector<pid_t> new_tasks(const std::vector<pid_t> &before)
{
    std::vector<pid_t> ids;
    for (const pid_t id : tasks())
        if (!std::binary_search(before.begin(), before.end(), id))
            ids.push_back(id);
    return ids;
}

// Session open on the emulator, no video asked for: the session's threads and a host
// thread waiting in LEP3_WaitFrame (1 s time-outs, so it can be stopped).
void BM_SessionIdle(benchmark::State &state)
{
    const RealTimeRgbDevice device;
    if (!device.made())
        return state.SkipWithError("mkdtemp failed");
    ThreadUsage session, waiter;
    double wall = 0;
    {
        lep3::sim::BridgeSim sim(device.options);
        const std::vector<pid_t> before = tasks();
        if (LEP3_Open(device.options.path.c_str()) != 0)
            return state.SkipWithError("LEP3_Open failed");
        const std::vector<pid_t> ids = new_tasks(before);
        std::atomic<pid_t> waiter_tid{0};
        std::atomic<bool> stop{false};
        std::thread wait([&] {
            waiter_tid.store(thread_id());
            std::vector<uint8_t> buffer(lep3::link::kRgbFrameBytes);
            while (!stop.load())
                LEP3_WaitFrame(buffer.data(), buffer.size(), nullptr, 1000);
        });
        while (waiter_tid.load() == 0)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // fallen silent
        for (auto _ : state) {
            const ThreadUsage s0 = usage_of(ids), w0 = ThreadUsage::of(waiter_tid);
            const auto t0 = Clock::now();
            std::this_thread::sleep_for(std::chrono::seconds(4));
            wall += std::chrono::duration<double>(Clock::now() - t0).count();
            session = usage_of(ids) - s0;
            waiter = ThreadUsage::of(waiter_tid) - w0;
        }
        stop.store(true);
        wait.join();
        LEP3_Close();
    }
    state.counters["session_cpu_pct"] = 100 * session.cpu_seconds / wall;
    state.counters["session_wakeups_per_s"] = session.wake_ups / wall;
    state.counters["waitframe_wakeups_per_s"] = waiter.wake_ups / wall;
}
BENCHMARK(BM_SessionIdle)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The session while the emulator streams at 8.7 fps (argument: 0 raw, 1 RGB) and the host
// takes every frame: CPU and wake-ups of the session's threads and of the host's waiting
// thread, and the delay from the parser queuing a frame to the host holding it.
void BM_SessionStreaming(benchmark::State &state)
{
    const bool rgb = state.range(0) == 1;
    const RealTimeRgbDevice device;
    if (!device.made())
        return state.SkipWithError("mkdtemp failed");
    ThreadUsage session, host;
    double wall = 0;
    std::vector<double> delays;
    {
        lep3::sim::BridgeSim sim(device.options);
        const std::vector<pid_t> before = tasks();
        if (LEP3_Open(device.options.path.c_str()) != 0)
            return state.SkipWithError("LEP3_Open failed");
        const std::vector<pid_t> ids = new_tasks(before);
        Frame frame;
        lep3_frame_info_t info{};
        if (rgb)
            LEP3_GetRGBVideo();
        else
            LEP3_GetRawVideo();
        LEP3_WaitFrame(frame.bytes.data(), frame.bytes.size(), &info, 2000); // streaming has begun
        for (auto _ : state) {
            const ThreadUsage s0 = usage_of(ids), h0 = ThreadUsage::of(thread_id());
            const auto t0 = Clock::now();
            for (int i = 0; i < 2 * kFrames; ++i) {
                if (LEP3_WaitFrame(frame.bytes.data(), frame.bytes.size(), &info, 2000) != 0)
                    continue;
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                const double now_ns = static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
                delays.push_back((now_ns - static_cast<double>(info.completed_ns)) * 1e-9);
            }
            wall += std::chrono::duration<double>(Clock::now() - t0).count();
            session = usage_of(ids) - s0;
            host = ThreadUsage::of(thread_id()) - h0;
        }
        LEP3_Close();
    }
    std::sort(delays.begin(), delays.end());
    state.counters["fps"] = static_cast<double>(delays.size()) / wall;
    state.counters["session_cpu_pct"] = 100 * session.cpu_seconds / wall;
    state.counters["session_wakeups_per_s"] = session.wake_ups / wall;
    state.counters["waitframe_cpu_pct"] = 100 * host.cpu_seconds / wall;
    state.counters["waitframe_wakeups_per_s"] = host.wake_ups / wall;
    if (!delays.empty()) {
        state.counters["delay_median_us"] = delays[delays.size() / 2] * 1e6;
        state.counters["delay_worst_us"] = delays.back() * 1e6;
    }
}
BENCHMARK(BM_SessionStreaming)->ArgName("rgb")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// From the write of a frame's last bytes (its last data byte and its check byte, as one
// burst) to LEP3_WaitFrame returning it, on a session opened on a bare pseudo-terminal
// this benchmark writes to. The burst comes at a random moment after the rest of the frame.
void BM_SessionFrameLatency(benchmark::State &state)
{
    Fd master(posix_openpt(O_RDWR | O_NOCTTY));
    if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0)
        return state.SkipWithError("no pseudo-terminal");
    const std::string device = ptsname(master.get());
    if (LEP3_Open(device.c_str()) != 0)
        return state.SkipWithError("LEP3_Open failed");
    const auto packet = lep3::bench::frame_packet(true, 1);
    const size_t burst = packet.size() - 2;
    Frame frame;
    std::vector<double> latencies;
    std::mt19937 rng(1);
    for (auto _ : state) {
        write_all(master.get(), std::span(packet).first(burst));
        usleep(2000 + static_cast<useconds_t>(rng() % 1000)); // the reader has taken the rest
        const auto t0 = Clock::now();
        write_all(master.get(), std::span(packet).subspan(burst));
        const int got = LEP3_WaitFrame(frame.bytes.data(), frame.bytes.size(), nullptr, 2000);
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        if (got != 0) {
            state.SkipWithError("no frame");
            break;
        }
        latencies.push_back(seconds);
        state.SetIterationTime(seconds);
    }
    LEP3_Close();
    if (latencies.empty())
        return;
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_us"] = latencies[latencies.size() / 2] * 1e6;
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100] * 1e6;
    state.counters["worst_us"] = latencies.back() * 1e6;
}
BENCHMARK(BM_SessionFrameLatency)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(300);

// The session's reader and parser flat out, fed from a pipe as BM_LinkThroughput feeds the
// classic loops. Every frame is parsed: the reader waits for room rather than drop a byte.
void BM_SessionThroughput(benchmark::State &state)
{
    std::vector<uint8_t> stream;
    for (int i = 0; i < kFramesPerIteration; ++i) {
        const auto frame = lep3::bench::frame_packet(true, static_cast<uint32_t>(i + 1));
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    Pipe pipe;
    fcntl(pipe.write_end.get(), F_SETPIPE_SZ, 1 << 20);
    fresh_link(pipe.read_end.get());
    const std::vector<pid_t> before = tasks();
    if (!lep3::session::start_loops())
        return state.SkipWithError("start_loops failed");
    const std::vector<pid_t> ids = new_tasks(before);
    const ThreadUsage s0 = usage_of(ids);
    feed_frames(state, pipe.write_end.get(), stream);
    const ThreadUsage loops = usage_of(ids) - s0;
    lep3::session::stop_loops();
    release_link();
    const auto bytes = static_cast<double>(stream.size()) * static_cast<double>(state.iterations());
    state.counters["loops_ns_per_byte"] = loops.cpu_seconds * 1e9 / bytes;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["x_rgb_realtime"] =
        benchmark::Counter(bytes / kRealTimeRgbBytesPerSecond, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SessionThroughput)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
