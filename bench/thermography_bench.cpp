// Object temperatures and region statistics per frame, beside the plain kelvin conversion
// they are held to: the object conversion costs at most twice the plain one with its table
// warm, and measuring sixteen regions less than one conversion.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "bench/scene.h"
#include "lep3.h"

namespace {

using lep3::bench::scene;
constexpr size_t kPixels = 19200;
constexpr int32_t kR = 347000, kO = 1000;

lep3_object_params_t measured_through_air()
{
    lep3_object_params_t p;
    LEP3_DefaultObjectParams(&p);
    p.emissivity = 0.95F, p.distance_m = 3, p.window_transmission = 0.9F, p.window_c = 30;
    return p;
}

void BM_LuxToKelvin_WarmTable(benchmark::State &state)
{
    std::vector<float> temps(kPixels);
    LEP3_LuxToKelvin(scene().data(), temps.data(), kR, kO);
    for (auto _ : state) {
        LEP3_LuxToKelvin(scene().data(), temps.data(), kR, kO);
        benchmark::DoNotOptimize(temps.data());
    }
}
BENCHMARK(BM_LuxToKelvin_WarmTable);

// Warm: the same parameters every frame (argument 1: the NaN count asked for too).
void BM_RawToObjectCelsius_WarmTable(benchmark::State &state)
{
    std::vector<float> celsius(kPixels);
    const lep3_object_params_t p = measured_through_air();
    uint32_t nan = 0;
    uint32_t *count = state.range(0) != 0 ? &nan : nullptr;
    LEP3_RawToObjectCelsiusCounted(scene().data(), celsius.data(), kR, kO, &p, count);
    for (auto _ : state) {
        LEP3_RawToObjectCelsiusCounted(scene().data(), celsius.data(), kR, kO, &p, count);
        benchmark::DoNotOptimize(celsius.data());
    }
}
BENCHMARK(BM_RawToObjectCelsius_WarmTable)->ArgName("counted")->DenseRange(0, 1);

// Cold: the parameters change every frame, so every distinct value is computed again.
void BM_RawToObjectCelsius_ColdTable(benchmark::State &state)
{
    std::vector<float> celsius(kPixels);
    lep3_object_params_t p = measured_through_air();
    for (auto _ : state) {
        p.emissivity = p.emissivity == 0.95F ? 0.94F : 0.95F;
        LEP3_RawToObjectCelsius(scene().data(), celsius.data(), kR, kO, &p);
        benchmark::DoNotOptimize(celsius.data());
    }
}
BENCHMARK(BM_RawToObjectCelsius_ColdTable);

// Sixteen regions as a person places them: six boxes of 32 x 24, five lines across the
// scene, five spots.
void BM_MeasureSixteenRegions(benchmark::State &state)
{
    std::vector<float> celsius(kPixels);
    const lep3_object_params_t p = measured_through_air();
    LEP3_RawToObjectCelsius(scene().data(), celsius.data(), kR, kO, &p);
    std::array<lep3_region_t, 16> regions{};
    for (int i = 0; i < 6; ++i)
        regions[i] = {LEP3_REGION_BOX, 10 + 20 * i, 5 + 15 * i, 41 + 20 * i, 28 + 15 * i};
    for (int i = 0; i < 5; ++i)
        regions[6 + i] = {LEP3_REGION_LINE, 0, 10 + 20 * i, 159, 119 - 20 * i};
    for (int i = 0; i < 5; ++i)
        regions[11 + i] = {LEP3_REGION_SPOT, 30 * i + 10, 20 * i + 10, 0, 0};
    std::array<lep3_region_stats_t, 16> stats{};
    for (auto _ : state) {
        for (size_t i = 0; i < regions.size(); ++i)
            LEP3_MeasureRegion(celsius.data(), &regions[i], &stats[i]);
        benchmark::DoNotOptimize(stats.data());
    }
}
BENCHMARK(BM_MeasureSixteenRegions);

// The worst case: sixteen boxes of the whole frame.
void BM_MeasureSixteenWholeFrameBoxes(benchmark::State &state)
{
    std::vector<float> celsius(kPixels);
    const lep3_object_params_t p = measured_through_air();
    LEP3_RawToObjectCelsius(scene().data(), celsius.data(), kR, kO, &p);
    const lep3_region_t whole{LEP3_REGION_BOX, 0, 0, 159, 119};
    lep3_region_stats_t stats{};
    for (auto _ : state) {
        for (int i = 0; i < 16; ++i)
            LEP3_MeasureRegion(celsius.data(), &whole, &stats);
        benchmark::DoNotOptimize(&stats);
    }
}
BENCHMARK(BM_MeasureSixteenWholeFrameBoxes);

} // namespace

BENCHMARK_MAIN();
