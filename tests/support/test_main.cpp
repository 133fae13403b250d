// Main of the unit and integration test programs: gtest's own, with the
// daemon's state reset before every test.
#include <gtest/gtest.h>

#include "support/world.h"

struct WorldReset : ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override { reset_daemon_world(); }
};

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new WorldReset);
    return RUN_ALL_TESTS();
}
