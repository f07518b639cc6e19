// Per-frame cost of the conversions, each next to its naive reference in the same run.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "bench/automatic_conversion.h"
#include "bench/scene.h"
#include "lep3.h"
#include "render/naive_reference.h"
#include "render/render_internal.h"
#include "render/vector_level.h"

namespace {

using lep3::bench::scene;
using lep3::render::kFramePixels;

// The vector-unit variants of one loop side by side: the benchmark's argument is the level
// (0 baseline, 1 AVX2); a level this processor lacks is skipped.
bool at_level(benchmark::State &state)
{
    const auto level = static_cast<lep3::render::VectorLevel>(state.range(0));
    if (!lep3::render::set_vector_level(level)) {
        state.SkipWithError("this processor lacks the vector level");
        return false;
    }
    return true;
}

void every_level(benchmark::internal::Benchmark *b)
{
    b->ArgName("level")->DenseRange(0, 1);
}

std::vector<uint8_t> grey_scene()
{
    std::vector<uint8_t> grey(kFramePixels);
    uint16_t max = 0;
    uint16_t min = 0;
    Gray14ToGray8(scene().data(), grey.data(), &max, &min, 0);
    return grey;
}

std::vector<float> kelvin_scene()
{
    std::vector<float> temps(kFramePixels);
    lep3::naive::lux_to_kelvin_frame(scene().data(), temps.data(), 347000, 1000);
    return temps;
}

void BM_Gray14ToGray8_Auto(benchmark::State &state)
{
    if (!at_level(state))
        return;
    lep3::bench::time_automatic_conversion(state);
}
BENCHMARK(BM_Gray14ToGray8_Auto)->Apply(every_level);

void BM_Gray14ToGray8_Held(benchmark::State &state)
{
    if (!at_level(state))
        return;
    std::vector<uint8_t> grey(kFramePixels);
    uint16_t max = 0;
    uint16_t min = 0;
    Gray14ToGray8(scene().data(), grey.data(), &max, &min, 0);
    for (auto _ : state) {
        Gray14ToGray8(scene().data(), grey.data(), &max, &min, 1);
        benchmark::DoNotOptimize(grey.data());
    }
}
BENCHMARK(BM_Gray14ToGray8_Held)->Apply(every_level);

void BM_Naive_Gray14ToGray8_Auto(benchmark::State &state)
{
    std::vector<uint8_t> grey(kFramePixels);
    lep3::naive::Gray8Converter converter;
    uint16_t max = 0;
    uint16_t min = 0;
    for (auto _ : state) {
        converter.convert(scene().data(), grey.data(), &max, &min, false);
        benchmark::DoNotOptimize(grey.data());
    }
}
BENCHMARK(BM_Naive_Gray14ToGray8_Auto);

void BM_Gray14ToGray8WithUserSetPalette(benchmark::State &state)
{
    if (!at_level(state))
        return;
    std::vector<uint8_t> grey(kFramePixels);
    for (auto _ : state) {
        Gray14ToGray8WithUserSetPalette(scene().data(), grey.data(), 9000, 7900);
        benchmark::DoNotOptimize(grey.data());
    }
}
BENCHMARK(BM_Gray14ToGray8WithUserSetPalette)->Apply(every_level);

void BM_Naive_Gray14ToGray8WithUserSetPalette(benchmark::State &state)
{
    std::vector<uint8_t> grey(kFramePixels);
    for (auto _ : state) {
        lep3::naive::user_range(scene().data(), grey.data(), 9000, 7900);
        benchmark::DoNotOptimize(grey.data());
    }
}
BENCHMARK(BM_Naive_Gray14ToGray8WithUserSetPalette);

void BM_MedianFilter(benchmark::State &state)
{
    if (!at_level(state))
        return;
    const std::vector<uint8_t> src = grey_scene();
    std::vector<uint8_t> dst(kFramePixels);
    for (auto _ : state) {
        lep3::render::medianFilter3x3(src.data(), dst.data());
        benchmark::DoNotOptimize(dst.data());
    }
}
BENCHMARK(BM_MedianFilter)->Apply(every_level);

void BM_Naive_MedianFilter(benchmark::State &state)
{
    const std::vector<uint8_t> src = grey_scene();
    std::vector<uint8_t> dst(kFramePixels);
    for (auto _ : state) {
        lep3::naive::median3x3(src.data(), dst.data());
        benchmark::DoNotOptimize(dst.data());
    }
}
BENCHMARK(BM_Naive_MedianFilter);

void BM_Gray8ToRGB24(benchmark::State &state)
{
    lep3::render::fill_exported_palettes();
    const std::vector<uint8_t> grey = grey_scene();
    std::vector<uint8_t> rgb(kFramePixels * 3);
    for (auto _ : state) {
        Gray8ToRGB24(grey.data(), rgb.data(), 8);
        benchmark::DoNotOptimize(rgb.data());
    }
}
BENCHMARK(BM_Gray8ToRGB24);

void BM_Naive_Gray8ToRGB24(benchmark::State &state)
{
    lep3::render::fill_exported_palettes();
    const std::vector<uint8_t> grey = grey_scene();
    std::vector<uint8_t> rgb(kFramePixels * 3);
    for (auto _ : state) {
        lep3::naive::colourise(grey.data(), rgb.data(), RGB24_pallette_iron_256);
        benchmark::DoNotOptimize(rgb.data());
    }
}
BENCHMARK(BM_Naive_Gray8ToRGB24);

void BM_Gray8ToRGB24WithTemp(benchmark::State &state)
{
    lep3::render::fill_exported_palettes();
    const std::vector<uint8_t> grey = grey_scene();
    std::vector<uint8_t> rgb(kFramePixels * 3);
    for (auto _ : state) {
        Gray8ToRGB24WithTemp(grey.data(), rgb.data(), 0, 40, 20, 5, 10, 8);
        benchmark::DoNotOptimize(rgb.data());
    }
}
BENCHMARK(BM_Gray8ToRGB24WithTemp);

void BM_Naive_Gray8ToRGB24WithTemp(benchmark::State &state)
{
    lep3::render::fill_exported_palettes();
    const std::vector<uint8_t> grey = grey_scene();
    std::vector<uint8_t> rgb(kFramePixels * 3);
    for (auto _ : state) {
        lep3::naive::colourise_range(grey.data(), rgb.data(), RGB24_pallette_iron_256, 64, 2);
        benchmark::DoNotOptimize(rgb.data());
    }
}
BENCHMARK(BM_Naive_Gray8ToRGB24WithTemp);

// Cold: a new calibration on every frame, so the table is refilled each time.
void BM_LuxToKelvin_ColdTable(benchmark::State &state)
{
    std::vector<float> temps(kFramePixels);
    int32_t r = 347000;
    for (auto _ : state) {
        LEP3_LuxToKelvin(scene().data(), temps.data(), ++r, 1000);
        benchmark::DoNotOptimize(temps.data());
    }
}
BENCHMARK(BM_LuxToKelvin_ColdTable);

void BM_LuxToKelvin_WarmTable(benchmark::State &state)
{
    std::vector<float> temps(kFramePixels);
    LEP3_LuxToKelvin(scene().data(), temps.data(), 347000, 1000);
    for (auto _ : state) {
        LEP3_LuxToKelvin(scene().data(), temps.data(), 347000, 1000);
        benchmark::DoNotOptimize(temps.data());
    }
}
BENCHMARK(BM_LuxToKelvin_WarmTable);

void BM_Naive_LuxToKelvin(benchmark::State &state)
{
    std::vector<float> temps(kFramePixels);
    for (auto _ : state) {
        lep3::naive::lux_to_kelvin_frame(scene().data(), temps.data(), 347000, 1000);
        benchmark::DoNotOptimize(temps.data());
    }
}
BENCHMARK(BM_Naive_LuxToKelvin);

void BM_KelvinToRGB(benchmark::State &state)
{
    lep3::render::fill_exported_palettes();
    const std::vector<float> temps = kelvin_scene();
    std::vector<uint8_t> rgb(kFramePixels * 3);
    float max = 0;
    uint16_t min = 0;
    for (auto _ : state) {
        LEP3_KelvinToRGB(temps.data(), rgb.data(), 4, &max, &min, 0);
        benchmark::DoNotOptimize(rgb.data());
    }
}
BENCHMARK(BM_KelvinToRGB);

void BM_Naive_KelvinToRGB(benchmark::State &state)
{
    lep3::render::fill_exported_palettes();
    const std::vector<float> temps = kelvin_scene();
    std::vector<uint8_t> rgb(kFramePixels * 3);
    float max = 0;
    float min = 0;
    for (auto _ : state) {
        lep3::naive::kelvin_to_rgb_auto(temps.data(), rgb.data(), RGB24_pallette_ironblack_256, max, min);
        benchmark::DoNotOptimize(rgb.data());
    }
}
BENCHMARK(BM_Naive_KelvinToRGB);

} // namespace

BENCHMARK_MAIN();
