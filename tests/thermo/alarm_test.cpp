// Alarms and region names as hosts read them: what a rule means, and when a series of
// readings raises and clears it.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "thermo/alarm.h"
#include "thermo/region_text.h"

namespace lep3::thermo {
namespace {

using namespace std::chrono_literals;

TEST(AlarmRules, ReadRegionStatisticLimitAndHoldAndRefuseTheMalformed)
{
    using Read = std::tuple<std::string, Statistic, bool, double, std::chrono::milliseconds>;
    for (const auto &[text, read] :
         {std::pair{"box1>60C for 2s", Read{"box1", Statistic::max, true, 60.0, 2s}},
          {"spot1<5C", Read{"spot1", Statistic::min, false, 5.0, 0s}},
          {"motor.mean > -2.5 for 250ms", Read{"motor", Statistic::mean, true, -2.5, 250ms}}}) {
        const AlarmRule r = parse_alarm(text);
        EXPECT_EQ(Read(r.region, r.statistic, r.above, r.limit_c, r.hold), read) << text;
    }
    for (const char *bad : {"box1=60C", ">60C", "box1>hot", "box1>60C for 2", "box1.median>3", "box1>60C for -1s"})
        EXPECT_THROW(parse_alarm(bad), std::invalid_argument) << bad;
    EXPECT_EQ(parse_hysteresis("0.25C"), 0.25);
    EXPECT_THROW(parse_hysteresis("-1C"), std::invalid_argument);
}

TEST(RegionSpecs, NameByKindAndPlaceOrByPrefixAndStayInsideTheFrame)
{
    const NamedRegion box = parse_region(LEP3_REGION_BOX, "10,20,159,119", 2);
    EXPECT_EQ(box.name, "box2");
    EXPECT_EQ(std::make_tuple(box.region.kind, box.region.x0, box.region.y0, box.region.x1, box.region.y1),
              std::make_tuple(LEP3_REGION_BOX, 10, 20, 159, 119));
    const NamedRegion spot = parse_region(LEP3_REGION_SPOT, "bearing=80,60", 1);
    EXPECT_EQ(std::make_tuple(spot.name, spot.region.x1, spot.region.y1),
              std::make_tuple(std::string("bearing"), 80, 60));
    for (const char *bad : {"80,60", "1,2,3", "0,0,160,0", "0,0,0,120", "a b=1,2,3,4", "=1,2,3,4", "1,,2,3"})
        EXPECT_THROW(parse_region(LEP3_REGION_LINE, bad, 1), std::invalid_argument) << bad;
}

// A series of maxima of one region, one a second, and the events expected after each.
struct Series {
    const char *rule;
    double hysteresis;
    std::vector<double> values;
    std::string events; // per reading: '.' nothing, 'R' raised, 'C' cleared
};

class AlarmSeries : public testing::TestWithParam<Series> {};

TEST_P(AlarmSeries, RaisesAfterTheHoldAndClearsPastTheHysteresis)
{
    const Series &s = GetParam();
    AlarmWatch watch({parse_alarm(s.rule)}, s.hysteresis);
    std::string seen;
    for (size_t i = 0; i < s.values.size(); ++i) {
        lep3_region_stats_t r{};
        r.min = r.max = r.mean = static_cast<float>(s.values[i]);
        r.pixels = 1;
        const auto events = watch.update({{"box1", r}}, std::chrono::seconds(i));
        seen += events.empty() ? '.' : events.front().raised ? 'R' : 'C';
    }
    EXPECT_EQ(seen, s.events) << s.rule;
}

INSTANTIATE_TEST_SUITE_P(, AlarmSeries,
                         testing::Values(
                             // At once, then back below: cleared only below 60 - 0.5.
                             Series{"box1>60C", 0.5, {59, 61, 59.8, 59.6, 59.4, 61}, ".R..CR"},
                             // Near the limit without hysteresis: flaps; with it: raised once.
                             Series{"box1>60C", 0, {60.1, 59.9, 60.1, 59.9}, "RCRC"},
                             Series{"box1>60C", 0.5, {60.1, 59.9, 60.1, 59.9}, "R..."},
                             // Held for two seconds: a dip resets the count.
                             Series{"box1>60C for 2s", 0.5, {61, 62, 59, 61, 61, 61, 61, 50}, ".....R.C"},
                             Series{"box1<5C", 1, {6, 4.9, 5.5, 6.1, 4}, ".R.CR"}));

TEST(AlarmWatch, ARegionWithoutNumbersOrReadingLeavesItsAlarmAsItIs)
{
    AlarmWatch watch({parse_alarm("box1>60C"), parse_alarm("spot1<5C")}, 0.5);
    lep3_region_stats_t hot{};
    hot.max = 70, hot.pixels = 4;
    ASSERT_EQ(watch.update({{"box1", hot}}, 0s).size(), 1U);
    lep3_region_stats_t empty{};
    empty.nan_pixels = 4;
    EXPECT_TRUE(watch.update({{"box1", empty}, {"other", hot}}, 1s).empty());
    EXPECT_TRUE(watch.raised(0));
    EXPECT_FALSE(watch.raised(1));
    EXPECT_EQ(watch.times_raised(), 1U);
}

} // namespace
} // namespace lep3::thermo
