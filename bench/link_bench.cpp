// The link's own loops under load: bytes a second from a descriptor through the reader,
// the byte queue, the parser and into the frame queue; the time from a frame's last
// byte to its delivery to the host; and the CPU the two loops use while the emulator
// streams RGB video in real time.
#include <benchmark/benchmark.h>

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "link/link_internal.h"
#include "sim/bridge_sim.h"

namespace {

using Clock = std::chrono::steady_clock;
using lep3::link::Fd;

constexpr double kRgbFrameOnWire = 5 + 58560 + 1;                    // head, data, check byte
constexpr double kRealTimeRgbBytesPerSecond = kRgbFrameOnWire * 8.7; // ~510 kB/s
constexpr int kFramesPerIteration = 20;

// The reader and parser loops in threads of their own, as a host runs them.
class LinkThreads {
  public:
    LinkThreads()
    {
        pthread_create(&reader_, nullptr, LEP3_Read_Thr, nullptr);
        pthread_create(&parser_, nullptr, LEP3_Parse_Thr, nullptr);
    }
    ~LinkThreads()
    {
        pthread_cancel(reader_);
        pthread_join(reader_, nullptr);
        pthread_cancel(parser_);
        pthread_join(parser_, nullptr);
    }
    LinkThreads(const LinkThreads &) = delete;
    LinkThreads &operator=(const LinkThreads &) = delete;

    double cpu_seconds(bool reader) const
    {
        clockid_t clock{};
        pthread_getcpuclockid(reader ? reader_ : parser_, &clock);
        timespec ts{};
        clock_gettime(clock, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }

  private:
    pthread_t reader_{};
    pthread_t parser_{};
};

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

std::vector<uint8_t> rgb_frame_packet(uint32_t seq)
{
    std::vector<uint8_t> rgb(lep3::link::kRgbFrameBytes);
    lep3::sim::BridgeSim::rgb_frame(seq, rgb.data());
    std::vector<uint8_t> p{0xAA, 0x55, 0xFF, 0x04, 0xFF};
    for (int k = 0; k < lep3::link::kVideoPackets; ++k) {
        p.insert(p.end(), {0x00, static_cast<uint8_t>(k), 0x00, 0x00});
        const auto *row = rgb.data() + static_cast<size_t>(k) * lep3::link::kRgbPayload;
        p.insert(p.end(), row, row + lep3::link::kRgbPayload);
    }
    p.push_back(packet_crc8(p.data(), p.size())); // every check byte matches, as from a sound bridge
    return p;
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

// Reader -> byte queue -> parser -> frame queue at full speed, fed from a pipe.
void BM_LinkThroughput(benchmark::State &state)
{
    std::vector<uint8_t> stream;
    for (int i = 0; i < kFramesPerIteration; ++i) {
        const auto frame = rgb_frame_packet(static_cast<uint32_t>(i + 1));
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    Pipe pipe;
    fresh_link(pipe.read_end.get());
    double reader_cpu = 0;
    double parser_cpu = 0;
    {
        LinkThreads threads;
        const double r0 = threads.cpu_seconds(true);
        const double p0 = threads.cpu_seconds(false);
        for (auto _ : state) {
            const uint64_t target = rgb_frames_done() + kFramesPerIteration;
            if (!write_all(pipe.write_end.get(), stream)) {
                state.SkipWithError("write to the pipe failed");
                break;
            }
            while (rgb_frames_done() < target)
                usleep(20);
        }
        reader_cpu = threads.cpu_seconds(true) - r0;
        parser_cpu = threads.cpu_seconds(false) - p0;
    }
    release_link();
    const auto bytes = static_cast<double>(stream.size()) * static_cast<double>(state.iterations());
    // CPU per byte of each loop: what the machine's other load cannot inflate.
    state.counters["reader_ns_per_byte"] = reader_cpu * 1e9 / bytes;
    state.counters["parser_ns_per_byte"] = parser_cpu * 1e9 / bytes;
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
        const auto frame = rgb_frame_packet(static_cast<uint32_t>(i + 1));
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

// From the write of a frame's last byte to the host holding the frame in its buffer.
void BM_FrameDeliveryLatency(benchmark::State &state)
{
    const auto packet = rgb_frame_packet(1);
    const size_t last = packet.size() - 2; // the last data byte; the check byte is not sent
    const int32_t before_last = lep3::link::kRgbPacketData - 1;
    Pipe pipe;
    fresh_link(pipe.read_end.get());
    std::vector<uint8_t> buffer(lep3::link::kRgbFrameBytes);
    double worst = 0;
    {
        LinkThreads threads;
        for (auto _ : state) {
            write_all(pipe.write_end.get(), std::span(packet).first(last));
            while (std::atomic_ref<int32_t>(image_buffer_index).load(std::memory_order_relaxed) != before_last ||
                   parser_state != static_cast<int32_t>(lep3::link::ParserState::rgb_data))
                usleep(50);
            const auto t0 = Clock::now();
            write_all(pipe.write_end.get(), std::span(packet).subspan(last, 1));
            uint32_t w, h, f, s, n;
            LEP3_GetFrameFromQueue(buffer.data(), &w, &h, &f, &s, &n);
            const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
            worst = std::max(worst, seconds);
            state.SetIterationTime(seconds);
        }
    }
    release_link();
    state.counters["worst_us"] = worst * 1e6;
}
BENCHMARK(BM_FrameDeliveryLatency)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(300);

// CPU of the reader and parser loops while the emulator streams RGB at 8.7 fps and the
// host takes every frame.
void BM_LinkCpuAtRealTimeRgb(benchmark::State &state)
{
    char templ[] = "/tmp/lep3-bench-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    const std::string dir = templ;
    lep3::sim::Options options;
    options.path = dir + "/ttyACM0";
    options.fps = 8.7;
    double reader_cpu = 0, parser_cpu = 0, wall = 0, frames = 0;
    {
        lep3::sim::BridgeSim sim(options);
        LEP3_SetPath(LEP3_PATH_UART, options.path.c_str());
        if (LEP3_Init() != 0) {
            state.SkipWithError("LEP3_Init failed");
            return;
        }
        std::vector<uint8_t> buffer(lep3::link::kRgbFrameBytes);
        {
            LinkThreads threads;
            LEP3_GetRGBVideo();
            uint32_t w, h, f, s, n;
            LEP3_GetFrameFromQueue(buffer.data(), &w, &h, &f, &s, &n); // streaming has begun
            for (auto _ : state) {
                const double r0 = threads.cpu_seconds(true), p0 = threads.cpu_seconds(false);
                const auto t0 = Clock::now();
                for (int i = 0; i < static_cast<int>(state.range(0)); ++i)
                    LEP3_GetFrameFromQueue(buffer.data(), &w, &h, &f, &s, &n);
                wall += std::chrono::duration<double>(Clock::now() - t0).count();
                reader_cpu += threads.cpu_seconds(true) - r0;
                parser_cpu += threads.cpu_seconds(false) - p0;
                frames += static_cast<double>(state.range(0));
            }
        }
        LEP3_Destroy();
    }
    std::filesystem::remove_all(dir);
    state.counters["fps"] = frames / wall;
    state.counters["reader_cpu_pct"] = 100 * reader_cpu / wall;
    state.counters["parser_cpu_pct"] = 100 * parser_cpu / wall;
    state.counters["loops_cpu_pct"] = 100 * (reader_cpu + parser_cpu) / wall;
}
BENCHMARK(BM_LinkCpuAtRealTimeRgb)->Arg(26)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
