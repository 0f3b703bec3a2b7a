#include "platform/MulDiv.h"

#include <gtest/gtest.h>

using tolvane::platform::MulDiv;

TEST(MulDiv, RoundsHalfAwayFromZero) {
    EXPECT_EQ(MulDiv(1, 1, 2), 1);   // 0.5
    EXPECT_EQ(MulDiv(3, 1, 2), 2);   // 1.5
    EXPECT_EQ(MulDiv(-1, 1, 2), -1); // -0.5
    EXPECT_EQ(MulDiv(1, -3, 2), -2); // -1.5
    EXPECT_EQ(MulDiv(1, 1, -2), -1); // -0.5
    EXPECT_EQ(MulDiv(-3, 1, -2), 2); // 1.5
    EXPECT_EQ(MulDiv(1, 1, 3), 0);   // 0.333
    EXPECT_EQ(MulDiv(2, 1, 3), 1);   // 0.667
    EXPECT_EQ(MulDiv(-2, 1, 3), -1);
}

TEST(MulDiv, UsesA64BitIntermediate) {
    // 1152 samples × 100000 frames would overflow 32 bits before the division.
    EXPECT_EQ(MulDiv(100000, 1152000, 44100), 2612245);
    EXPECT_EQ(MulDiv(INT32_MAX, INT32_MAX, INT32_MAX), INT32_MAX);
    EXPECT_EQ(MulDiv(INT32_MIN, 2, 2), INT32_MIN);
}

TEST(MulDiv, FailsWithMinusOne) {
    EXPECT_EQ(MulDiv(5, 7, 0), -1);
    EXPECT_EQ(MulDiv(0, 0, 0), -1);
    EXPECT_EQ(MulDiv(INT32_MAX, 2, 1), -1); // result does not fit
    EXPECT_EQ(MulDiv(INT32_MIN, -1, 1), -1);
}

TEST(MulDiv, EngineTimeConversions) {
    // Milliseconds of 1000 MPEG-1 frames at 44.1 kHz, and the frame of 2000 ms.
    EXPECT_EQ(MulDiv(1000, 1152 * 1000, 44100), 26122);
    EXPECT_EQ(MulDiv(2000, 44100, 1152 * 1000), 77);
}
