// The calibration the session keeps: read once, replaced by an accepted set, read again
// after a reconnect and after a camera reset, and refused without a session.
#include <chrono>

#include "session/session_fixture.h"
#include "sim/camera_core.h"

namespace lep3::test {
namespace {

using namespace std::chrono_literals;
constexpr uint16_t kRbfoInternal = 0x4E00;

std::pair<int32_t, int32_t> calibration()
{
    int32_t r = 0, o = 0;
    EXPECT_EQ(LEP3_GetCalibration(&r, &o), 0);
    return {r, o};
}

// The set the camera holds, read once; a changed register the library wasn't told of is
// not seen until an event that may change it: an accepted set, a reconnect, a reset.
TEST_F(SessionTest, CalibrationIsReadOnceAndAgainAfterEachEventThatMayChangeIt)
{
    EXPECT_EQ(LEP3_GetCalibration(nullptr, nullptr), -7);
    ASSERT_EQ(LEP3_Open(path().c_str()), 0);
    const std::pair<int32_t, int32_t> factory{sim::kRbfoR, sim::kRbfoO};
    EXPECT_EQ(calibration(), factory);
    EXPECT_EQ(calibration(), factory);
    EXPECT_EQ(sim().request_count(kRbfoInternal), 1U);

    sim().set_reg(kRbfoInternal, sim::words32({700000, 1428, 1, 900}));
    EXPECT_EQ(calibration(), factory);
    ASSERT_EQ(LEP3_SetRadRBFOInternal0(800000, 1428, 1, 1200), 0);
    EXPECT_EQ(calibration(), std::make_pair(800000, 1200));
    EXPECT_EQ(sim().request_count(kRbfoInternal), 2U); // the set, and no read

    sim().unplug();
    ASSERT_TRUE(eventually([] { return LEP3_GetLinkState() == LEP3_LINK_GONE; }));
    EXPECT_EQ(LEP3_GetCalibration(nullptr, nullptr), -6);
    sim().replug();
    ASSERT_TRUE(eventually([] { return LEP3_GetLinkState() == LEP3_LINK_UP; }));
    EXPECT_EQ(calibration(), factory); // the core came back at its power-on values

    sim().send_reset_notice(); // power-on values again, then R = 0 put in for the read
    lep3_link_stats_t stats{};
    ASSERT_TRUE(eventually([&] { return LEP3_GetLinkStats(&stats) == 0 && stats.reset_notices == 1; }));
    sim().set_reg(kRbfoInternal, sim::words32({0, 1428, 1, 900}));
    EXPECT_EQ(LEP3_GetCalibration(nullptr, nullptr), -3); // R = 0: no temperatures
}

} // namespace
} // namespace lep3::test
