// Object temperatures against the radiometric chain computed here in double precision, and
// the parameters the conversion refuses.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <tuple>
#include <vector>

#include "lep3.h"

namespace {

constexpr size_t kPixels = 19200;
constexpr int32_t kR = 878900;
constexpr int32_t kO = 1000;

// The chain as the physics states it: a black body's signal, the air's transmission, and
// the measured signal solved for the object's.
double signal_of(double kelvin)
{
    return kR / (std::exp(1428.0 / kelvin) - 1.0);
}

double transmission(double length, double humidity, double air_c)
{
    const double t = air_c;
    const double vapour = humidity * std::exp(1.5587 + 0.06939 * t - 0.00027816 * t * t + 0.00000068455 * t * t * t);
    const double k = -std::sqrt(length);
    return 1.9 * std::exp(k * (0.006569 - 0.002276 * std::sqrt(vapour))) +
           (1.0 - 1.9) * std::exp(k * (0.01262 - 0.00667 * std::sqrt(vapour)));
}

// The object's temperature in C for a raw value, or NaN when its signal is not positive.
double expected_celsius(uint16_t raw, const lep3_object_params_t &p)
{
    const double tau = transmission(p.distance_m / 2.0, p.humidity, p.air_c);
    const double e = p.emissivity, w = p.window_transmission;
    const double refl = signal_of(p.reflected_c + 273.15), air = signal_of(p.air_c + 273.15),
                 win = signal_of(p.window_c + 273.15);
    const double measured = static_cast<double>(raw) - kO;
    const double object = (measured - (1 - e) * tau * w * tau * refl - (1 - tau) * w * tau * air - (1 - w) * tau * win -
                           (1 - tau) * air) /
                          (e * tau * w * tau);
    if (!(object > 0))
        return std::numeric_limits<double>::quiet_NaN();
    return 1428.0 / std::log(kR / object + 1.0) - 273.15;
}

// Every 14-bit raw value once, the rest of the frame the top of the 16-bit range.
std::vector<uint16_t> raw_range()
{
    std::vector<uint16_t> raw(kPixels);
    for (size_t i = 0; i < kPixels; ++i)
        raw[i] = static_cast<uint16_t>(i < 16384 ? i : 65535 - (i - 16384));
    return raw;
}

lep3_object_params_t defaults()
{
    lep3_object_params_t p;
    LEP3_DefaultObjectParams(&p);
    return p;
}

// Converts with p and compares each pixel with the chain (NaN exactly where it is NaN):
// the largest difference in C, NaN mismatches, NaNs reported and expected.
std::tuple<double, size_t, uint32_t, size_t> compare(const lep3_object_params_t &p)
{
    const std::vector<uint16_t> raw = raw_range();
    std::vector<float> c(kPixels);
    double worst = 0;
    size_t mismatches = 0, expected = 0;
    uint32_t reported = 0;
    EXPECT_EQ(LEP3_RawToObjectCelsiusCounted(raw.data(), c.data(), kR, kO, &p, &reported), 0);
    for (size_t i = 0; i < kPixels; ++i) {
        const double want = expected_celsius(raw[i], p);
        expected += std::isnan(want) ? 1 : 0;
        mismatches += std::isnan(want) != std::isnan(c[i]) ? 1 : 0;
        worst = std::isnan(want) || std::isnan(c[i]) ? worst : std::max(worst, std::abs(c[i] - want));
    }
    return {worst, mismatches, reported, expected};
}

// The chain within 0.01 C over the whole raw range, cold and again from the filled table,
// with changes of parameters in between; NaN where the object's signal isn't positive,
// counted. The defaults reduce the chain to the plain conversion; a window is in it.
TEST(ObjectTemperature, MatchesTheRadiometricChainOverTheWholeRawRange)
{
    lep3_object_params_t far = defaults();
    far.emissivity = 0.95F, far.reflected_c = 20, far.distance_m = 1, far.humidity = 0.5F;
    lep3_object_params_t window = far;
    window.window_transmission = 0.9F, window.window_c = 35;
    lep3_object_params_t hot_air = far;
    hot_air.air_c = 60, hot_air.humidity = 0.9F, hot_air.distance_m = 300, hot_air.emissivity = 0.3F;
    for (int pass = 0; pass < 2; ++pass)
        for (const lep3_object_params_t &p : {defaults(), far, window, hot_air}) {
            const auto [worst, mismatches, reported, expected] = compare(p);
            EXPECT_LT(worst, 0.01) << "pass " << pass << ", emissivity " << p.emissivity;
            EXPECT_EQ(mismatches, 0U);
            EXPECT_EQ(reported, expected);
            EXPECT_GT(expected, size_t{kO}); // values at or below O, and those the path outshines
        }
}

// Threads converting with parameters of their own at once (one holds the shared table,
// the others compute pixel by pixel, turns change): each gets its own parameters' frame.
TEST(ObjectTemperature, ThreadsWithParametersOfTheirOwnGetTheirOwnFrames)
{
    const std::vector<uint16_t> raw = raw_range();
    std::array<lep3_object_params_t, 3> params{defaults(), defaults(), defaults()};
    params[1].emissivity = 0.8F, params[2].distance_m = 50;
    std::array<std::vector<float>, 3> alone;
    for (size_t k = 0; k < params.size(); ++k) {
        alone[k].resize(kPixels);
        ASSERT_EQ(LEP3_RawToObjectCelsius(raw.data(), alone[k].data(), kR, kO, &params[k]), 0);
    }
    std::array<size_t, 3> differing{};
    std::vector<std::thread> threads;
    for (size_t k = 0; k < params.size(); ++k)
        threads.emplace_back([&, k] {
            std::vector<float> c(kPixels);
            for (int round = 0; round < 50; ++round) {
                LEP3_RawToObjectCelsius(raw.data(), c.data(), kR, kO, &params[k]);
                for (size_t i = 0; i < kPixels; ++i)
                    differing[k] += std::memcmp(&c[i], &alone[k][i], sizeof(float)) != 0 ? 1 : 0;
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(differing, (std::array<size_t, 3>{}));
}

// Each parameter outside its range, at its limits' far side, NaN or infinite, a null
// pointer, R not positive: refused, and the frame is not touched.
TEST(ObjectTemperature, ParametersOutsideTheirRangesAreRefusedWritingNothing)
{
    using Field = float lep3_object_params_t::*;
    struct Limits {
        Field field;
        float lo, hi;
    };
    const std::array<Limits, 7> limits{{{&lep3_object_params_t::emissivity, 0.01F, 1},
                                        {&lep3_object_params_t::reflected_c, -100, 2000},
                                        {&lep3_object_params_t::air_c, -100, 2000},
                                        {&lep3_object_params_t::humidity, 0, 1},
                                        {&lep3_object_params_t::distance_m, 0, 10000},
                                        {&lep3_object_params_t::window_c, -100, 2000},
                                        {&lep3_object_params_t::window_transmission, 0.01F, 1}}};
    const std::vector<uint16_t> raw(kPixels, 5000);
    std::vector<float> c(kPixels, 7.0F);
    const auto convert = [&](const lep3_object_params_t &p) {
        return LEP3_RawToObjectCelsius(raw.data(), c.data(), kR, kO, &p);
    };
    for (const Limits &l : limits) {
        for (const float bad : {std::nextafter(l.lo, -1e9F), std::nextafter(l.hi, 1e9F),
                                std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
            lep3_object_params_t p = defaults();
            p.*l.field = bad;
            EXPECT_EQ(convert(p), -3) << bad;
        }
        EXPECT_EQ(c, std::vector<float>(kPixels, 7.0F));
        for (const float good : {l.lo, l.hi}) {
            lep3_object_params_t p = defaults();
            p.*l.field = good;
            EXPECT_EQ(convert(p), 0) << good;
            c.assign(kPixels, 7.0F);
        }
    }
    lep3_object_params_t opaque = defaults(); // long, hot, humid: the formula's terms cross
    opaque.distance_m = 10000, opaque.air_c = 40, opaque.humidity = 1;
    const lep3_object_params_t p = defaults();
    EXPECT_EQ(convert(opaque), -3);
    EXPECT_EQ(LEP3_RawToObjectCelsius(raw.data(), c.data(), 0, kO, &p), -3);
    EXPECT_EQ(LEP3_RawToObjectCelsius(raw.data(), c.data(), kR, kO, nullptr), -5);
    EXPECT_EQ(LEP3_RawToObjectCelsius(nullptr, c.data(), kR, kO, &p), -5);
    EXPECT_EQ(LEP3_RawToObjectCelsius(raw.data(), nullptr, kR, kO, &p), -5);
    EXPECT_EQ(c, std::vector<float>(kPixels, 7.0F));
}

} // namespace
