// can-init-repeat: runs init_can_socket several times and prints, for each run,
// its result and the number of open descriptors. Under the CAN preload library
// on a simulator's bus every run succeeds and keeps its two sockets, so a run
// that does not close the previous run's sockets shows as a growing count.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "th_obd2_com/can_link.h"

// Throws when /proc is not there: a count that cannot grow would hide the fault.
static long open_descriptors()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    for (int i = 0; i < runs; ++i) {
        const int result = init_can_socket();
        std::printf("run %d %ld\n", result, open_descriptors());
    }
    return 0;
}
