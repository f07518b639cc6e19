// The progress word of an update as other threads read it.
#include <gtest/gtest.h>

#include "lep3.h"

TEST(UpdateProgress, StartsAtZeroAndCapsPerCentButKeepsFailureCodes)
{
    int32_t rate = -99;
    EXPECT_EQ(LEP3_GetUpdateRate(&rate), 0);
    EXPECT_EQ(rate, 0);

    EXPECT_EQ(set_rate_of_progress(150), 100);
    EXPECT_EQ(rate_of_progress, 100);
    EXPECT_EQ(set_rate_of_progress(100), 100);
    EXPECT_EQ(set_rate_of_progress(-3), -3);
    EXPECT_EQ(get_rate_of_progress(), -3);
    EXPECT_EQ(LEP3_GetUpdateRate(&rate), 0);
    EXPECT_EQ(rate, -3);
}

TEST(UpdateProgress, NullPointerIsRefused)
{
    EXPECT_EQ(LEP3_GetUpdateRate(nullptr), -5);
}
