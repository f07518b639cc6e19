// The library's conversion and colouring beside OpenCV's equivalent pipeline on the same
// frames: minMaxLoc, convertTo with the frame's own range and a 3 x 3 medianBlur for
// Gray14ToGray8; applyColorMap with the same palette as a user colour map for
// Gray8ToRGB24. OpenCV rounds where the library truncates and replicates borders where the
// library copies rows and columns, so the outputs differ slightly; the work is the same.
// OpenCV runs on one thread, as the library does.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstring>
#include <vector>

#include "bench/automatic_conversion.h"
#include "bench/scene.h"
#include "lep3.h"
#include "render/render_internal.h"

namespace {

using lep3::bench::scene;
using lep3::render::kFrameHeight;
using lep3::render::kFramePixels;
using lep3::render::kFrameWidth;

constexpr int kRows = static_cast<int>(kFrameHeight);
constexpr int kCols = static_cast<int>(kFrameWidth);
constexpr uint32_t kPalette = 8; // iron

cv::Mat raw_scene()
{
    // OpenCV only reads it; the cast keeps the frame shared rather than copied.
    return cv::Mat(kRows, kCols, CV_16UC1, const_cast<uint16_t *>(scene().data()));
}

void one_thread()
{
    cv::setNumThreads(1);
    lep3::render::fill_exported_palettes();
}

void opencv_grey(const cv::Mat &raw, cv::Mat &stretched, cv::Mat &grey)
{
    double min = 0;
    double max = 0;
    cv::minMaxLoc(raw, &min, &max);
    const double scale = max > min ? 255.0 / (max - min) : 0.0;
    raw.convertTo(stretched, CV_8U, scale, -min * scale);
    cv::medianBlur(stretched, grey, 3);
}

// OpenCV's colour maps take their table in blue, green, red order.
cv::Mat opencv_palette()
{
    cv::Mat lut(256, 1, CV_8UC3);
    for (int g = 0; g < 256; ++g) {
        const uint8_t *rgb = RGB24_pallette_iron_256 + 3 * g;
        lut.at<cv::Vec3b>(g) = cv::Vec3b(rgb[2], rgb[1], rgb[0]);
    }
    return lut;
}

void BM_Lep3_Gray14ToGray8(benchmark::State &state)
{
    one_thread();
    lep3::bench::time_automatic_conversion(state);
}
BENCHMARK(BM_Lep3_Gray14ToGray8);

void BM_OpenCV_MinMaxConvertMedian(benchmark::State &state)
{
    one_thread();
    const cv::Mat raw = raw_scene();
    cv::Mat stretched;
    cv::Mat grey;
    for (auto _ : state) {
        opencv_grey(raw, stretched, grey);
        benchmark::DoNotOptimize(grey.data);
    }
}
BENCHMARK(BM_OpenCV_MinMaxConvertMedian);

void BM_Lep3_Gray8ToRGB24(benchmark::State &state)
{
    one_thread();
    std::vector<uint8_t> grey(kFramePixels);
    uint16_t max = 0;
    uint16_t min = 0;
    Gray14ToGray8(scene().data(), grey.data(), &max, &min, 0);
    std::vector<uint8_t> rgb(kFramePixels * 3);
    for (auto _ : state) {
        Gray8ToRGB24(grey.data(), rgb.data(), kPalette);
        benchmark::DoNotOptimize(rgb.data());
    }
}
BENCHMARK(BM_Lep3_Gray8ToRGB24);

void BM_OpenCV_ApplyColorMap(benchmark::State &state)
{
    one_thread();
    cv::Mat stretched;
    cv::Mat grey;
    opencv_grey(raw_scene(), stretched, grey);
    const cv::Mat lut = opencv_palette();
    cv::Mat bgr;
    for (auto _ : state) {
        cv::applyColorMap(grey, bgr, lut);
        benchmark::DoNotOptimize(bgr.data);
    }
}
BENCHMARK(BM_OpenCV_ApplyColorMap);

// Raw frame to colour picture, the whole way.
void BM_Lep3_RawToColour(benchmark::State &state)
{
    one_thread();
    std::vector<uint8_t> grey(kFramePixels);
    std::vector<uint8_t> rgb(kFramePixels * 3);
    uint16_t max = 0;
    uint16_t min = 0;
    for (auto _ : state) {
        Gray14ToGray8(scene().data(), grey.data(), &max, &min, 0);
        Gray8ToRGB24(grey.data(), rgb.data(), kPalette);
        benchmark::DoNotOptimize(rgb.data());
    }
}
BENCHMARK(BM_Lep3_RawToColour);

void BM_OpenCV_RawToColour(benchmark::State &state)
{
    one_thread();
    const cv::Mat raw = raw_scene();
    const cv::Mat lut = opencv_palette();
    cv::Mat stretched;
    cv::Mat grey;
    cv::Mat bgr;
    for (auto _ : state) {
        opencv_grey(raw, stretched, grey);
        cv::applyColorMap(grey, bgr, lut);
        benchmark::DoNotOptimize(bgr.data);
    }
}
BENCHMARK(BM_OpenCV_RawToColour);

} // namespace

BENCHMARK_MAIN();
