// Runs a test once at every vector level of the conversions; a level this processor lacks
// is skipped, so each machine checks every variant it can run against the references.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "render/vector_level.h"

namespace lep3::test {

class AtEveryVectorLevel : public testing::TestWithParam<lep3::render::VectorLevel> {
  protected:
    void SetUp() override
    {
        if (!lep3::render::set_vector_level(GetParam()))
            GTEST_SKIP() << "this processor lacks the vector level";
    }
    void TearDown() override { lep3::render::set_vector_level(lep3::render::best_vector_level()); }
};

inline const auto kEveryVectorLevel =
    testing::Values(lep3::render::VectorLevel::baseline, lep3::render::VectorLevel::avx2);

inline std::string vector_level_name(const testing::TestParamInfo<lep3::render::VectorLevel> &info)
{
    return info.param == lep3::render::VectorLevel::avx2 ? "avx2" : "baseline";
}

} // namespace lep3::test
