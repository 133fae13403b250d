// Every test program runs in private network and mount namespaces (its own
// broker on 127.0.0.1:1883, mounts over the daemon's fixed paths). Started any
// other way (ctest, by hand) it enters them through the wrapper before main.
// Not through the build's emulator setting: that one runs cross-built programs.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

__attribute__((constructor)) static void enter_test_namespaces(int argc, char **argv)
{
    if (getenv("OBDGW_IN_TEST_NAMESPACES") != nullptr) {
        return;
    }
    char *self = realpath("/proc/self/exe", nullptr);
    if (self == nullptr) {
        perror("realpath /proc/self/exe");
        _exit(1);
    }
    std::vector<char *> av{const_cast<char *>(OBDGW_NETNS_RUN), self};
    av.insert(av.end(), argv + 1, argv + argc);
    av.push_back(nullptr);
    execv(av[0], av.data());
    perror(OBDGW_NETNS_RUN);
    _exit(1);
}
