// Main of the unit and integration test programs: gtest's own, with the
// daemon's state reset before every test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "support/capture.h"
#include "support/world.h"

struct WorldReset : ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override { reset_daemon_world(); }
};

// gtest prints a failure the moment it happens, into a trace capture when one
// is active; this copy goes to the stream the program started with.
struct FailuresBesideCaptures : ::testing::EmptyTestEventListener {
    int fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    void OnTestPartResult(const ::testing::TestPartResult &r) override
    {
        if (r.failed() && fd >= 0 && TraceCapture::any_active()) {
            dprintf(fd, "%s:%d: Failure\n%s\n", r.file_name() ? r.file_name() : "?", r.line_number(),
                    r.message());
        }
    }
};

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new WorldReset);
    ::testing::UnitTest::GetInstance()->listeners().Append(new FailuresBesideCaptures);
    return RUN_ALL_TESTS();
}
