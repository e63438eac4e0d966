// G.711 A-law against the standard's segment table (13-bit values times 8).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "sim/ALaw.h"

using zlsim::ALawToLinear;
using zlsim::LinearToALaw;

namespace {

TEST(ALawTest, EveryCodeSurvivesDecodeAndEncode)
{
    for (int c = 0; c < 256; ++c)
        ASSERT_EQ(LinearToALaw(ALawToLinear(static_cast<uint8_t>(c))), c) << "code " << c;
}

TEST(ALawTest, CodePointsOfTheSegmentTable)
{
    // Smallest magnitudes: interval 0..2 of segment 0, middle 1 -> 8.
    EXPECT_EQ(ALawToLinear(0xD5), 8);
    EXPECT_EQ(ALawToLinear(0x55), -8);
    EXPECT_EQ(LinearToALaw(0), 0xD5);
    EXPECT_EQ(LinearToALaw(-1), 0x55);
    // Top of segment 0 (30..32) and start of segment 1 (32..34).
    EXPECT_EQ(LinearToALaw(255), 0xDA);
    EXPECT_EQ(ALawToLinear(0xDA), 248);
    EXPECT_EQ(LinearToALaw(256), 0xC5);
    EXPECT_EQ(ALawToLinear(0xC5), 264);
    EXPECT_EQ(LinearToALaw(-257), 0x45);
    EXPECT_EQ(ALawToLinear(0x45), -264);
    // Segment 5 ends at 1024, segment 6 runs 1024..2048 in steps of 64.
    EXPECT_EQ(LinearToALaw(8191), 0x8A);
    EXPECT_EQ(ALawToLinear(0x8A), 8064);
    EXPECT_EQ(LinearToALaw(8192), 0xB5);
    EXPECT_EQ(ALawToLinear(0xB5), 8448);
    EXPECT_EQ(LinearToALaw(16383), 0xBA);
    EXPECT_EQ(LinearToALaw(16384), 0xA5);
    // Segment 7, last interval 3968..4096, middle 4032; beyond it clips.
    EXPECT_EQ(ALawToLinear(0xAA), 32256);
    EXPECT_EQ(ALawToLinear(0x2A), -32256);
    EXPECT_EQ(LinearToALaw(32767), 0xAA);
    EXPECT_EQ(LinearToALaw(-32768), 0x2A);
}

TEST(ALawTest, MonotonicWithinHalfAStep)
{
    int last = ALawToLinear(LinearToALaw(-32768));
    for (int x = -32768; x <= 32767; ++x) {
        int y = ALawToLinear(LinearToALaw(static_cast<int16_t>(x)));
        ASSERT_GE(y, last) << "at " << x;
        // Half a step: 8 in the first two segments, 1/32 of the value beyond.
        ASSERT_LE(std::abs(y - x), std::max(8, std::abs(x) / 32)) << "at " << x;
        last = y;
    }
}

}  // namespace
