#include <cstdio>
#include <cstring>

#include "main/gateway.h"

namespace
{

constexpr const char *USAGE =
    "Usage: obd-gateway [--help | --version]\n"
    "OBD-II gateway between can0 and the MQTT broker on 127.0.0.1:1883.\n"
    "Settings come from /opt/vyr/configs/config.json; it takes no other arguments.\n";

} // namespace

// The gateway's settings come from its configuration file. The only arguments
// answer a question and exit before anything (relays, can0, files) is touched.
int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("obd-gateway %s\n", OBDGW_VERSION);
        return 0;
    }
    if (argc > 1) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    // Under a service manager stdout is a pipe: without this the workers'
    // trace would reach the journal in 4 KiB bursts, or never.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IOLBF, 0);
    return gateway_main();
}
