// The entry point of every test program: its tests run in a home of their own
// (see OwnHome), made before the first test and removed after the last.
#include "tests/support/OwnHome.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    const tolvane::test::OwnHome home;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
