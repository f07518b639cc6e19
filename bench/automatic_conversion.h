// The automatic 14-to-8-bit conversion of the scene, once per iteration: the loop that the
// render benchmarks time per vector level and the OpenCV comparison times beside OpenCV.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/scene.h"
#include "lep3.h"

namespace lep3::bench {

inline void time_automatic_conversion(benchmark::State &state)
{
    std::vector<uint8_t> grey(scene().size());
    uint16_t max = 0;
    uint16_t min = 0;
    for (auto _ : state) {
        Gray14ToGray8(scene().data(), grey.data(), &max, &min, 0);
        benchmark::DoNotOptimize(grey.data());
    }
}

} // namespace lep3::bench
