// A whole firmware update of a 64 KiB image against the emulated bridge, in wall time, next
// to the floor that its fixed pauses set; and the verification CRC over a full flash, table
// driven against bit by bit.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "lep3.h"
#include "sim/bridge_sim.h"
#include "update/update_internal.h"

namespace {

constexpr size_t kImageBytes = 64 * 1024;
constexpr uint32_t kFlashBytes = 256 * 1024;

// Pauses no update can avoid: 10 ms after each block, 1 s + 2 s + 3 s in the procedure,
// one 500 ms erase poll at the least, 500 ms before the CRC reply, 50 ms before the boot
// reply and 5 ms before each of the sync, version, flash size and RBFO replies.
constexpr double kFloorSeconds = (kImageBytes / 64) * 0.010 + 6.0 + 0.5 + 0.5 + 0.050 + 4 * 0.005;

std::vector<uint8_t> image_data(size_t n)
{
    std::vector<uint8_t> data(n);
    uint32_t x = 1;
    for (auto &b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return data;
}

// Sends the library's console output elsewhere while the update runs.
class QuietStdout {
  public:
    QuietStdout()
    {
        (void)std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout()
    {
        (void)std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;

  private:
    int saved_ = -1;
};

void BM_FullUpdate64KiB(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        std::string dir = (std::filesystem::temp_directory_path() / "lep3-update-bench-XXXXXX").string();
        if (mkdtemp(dir.data()) == nullptr) {
            state.SkipWithError("mkdtemp failed");
            return;
        }
        lep3::sim::Options options;
        options.path = dir + "/ttyACM0";
        options.boot_path = dir + "/ttyACM1";
        options.flash_size = kFlashBytes;
        auto sim = std::make_unique<lep3::sim::BridgeSim>(options);
        LEP3_SetPath(LEP3_PATH_UART, options.path.c_str());
        LEP3_SetPath(LEP3_PATH_UART_ALT, options.boot_path.c_str());
        LEP3_SetPath(LEP3_PATH_FIRMWARE_DIR, dir.c_str());
        {
            std::ofstream file(dir + "/SAMG55_V1.6.talvor", std::ios::binary);
            file << "SAMG55;V1.06\r\n";
            const std::vector<uint8_t> image = image_data(kImageBytes);
            file.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
        }
        pthread_t reader{};
        pthread_t parser{};
        int result = -1;
        {
            QuietStdout quiet;
            if (LEP3_Init() == 0) {
                pthread_create(&reader, nullptr, LEP3_Read_Thr, nullptr);
                pthread_create(&parser, nullptr, LEP3_Parse_Thr, nullptr);
                state.ResumeTiming();
                result = LEP3_UpdateSAMG55(reader);
                state.PauseTiming();
                // Already cancelled by a successful update; not yet if it failed early.
                pthread_cancel(reader);
                pthread_join(reader, nullptr);
                pthread_cancel(parser);
                pthread_join(parser, nullptr);
            }
        }
        if (result != 0)
            state.SkipWithError("update failed");
        sim.reset();
        std::filesystem::remove_all(dir);
        state.ResumeTiming();
    }
    state.counters["floor_s"] = kFloorSeconds;
}
BENCHMARK(BM_FullUpdate64KiB)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_VerificationCrcTable(benchmark::State &state)
{
    const std::vector<uint8_t> image = image_data(kImageBytes);
    for (auto _ : state) {
        uint32_t crc = lep3::update::crc32_update(0, image, lep3::update::kImageMask);
        crc = lep3::update::crc32_fill(crc, 0xFF, kFlashBytes - kImageBytes);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFlashBytes);
}
BENCHMARK(BM_VerificationCrcTable);

void BM_VerificationCrcBitwise(benchmark::State &state)
{
    std::vector<uint8_t> flash = image_data(kImageBytes);
    for (auto &b : flash)
        b ^= lep3::update::kImageMask;
    flash.resize(kFlashBytes, 0xFF);
    for (auto _ : state) {
        uint32_t crc = 0;
        for (const uint8_t b : flash) {
            crc ^= b;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFlashBytes);
}
BENCHMARK(BM_VerificationCrcBitwise);

} // namespace

BENCHMARK_MAIN();
