// can-init-repeat: runs init_can_socket several times and prints, for each run,
// its result and the number of open descriptors. Under the CAN preload library
// on a simulator's bus every run succeeds and keeps its two sockets, so a run
// that does not close the previous run's sockets shows as a growing count.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>

#include "th_obd2_com/can_link.h"

namespace
{
int open_descriptors()
{
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) {
        return -1;
    }
    int n = 0;
    while (readdir(d) != nullptr) {
        ++n;
    }
    closedir(d);
    return n;
}
} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    for (int i = 0; i < runs; ++i) {
        const int result = init_can_socket();
        std::printf("run %d %d\n", result, open_descriptors());
    }
    return 0;
}
