// What one OBD exchange costs on top of the transport: the median time of a
// single-frame exchange and of the 20-byte VIN exchange against the
// in-process vehicle, next to the bare round trip of a frame through a
// socketpair and a serving thread, measured in the same run.
//
// Usage: exchange_overhead [iterations]   (default 2000)
// The exchange's trace goes to /dev/null while measuring; results go to the
// original standard output.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "th_obd2_com/can_link.h"
#include "th_obd2_com/obd2_config.h"
#include "vehicle_sim.h"

namespace
{

struct Stats {
    double median_us;
    double p90_us;
};

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Stats stats(std::vector<int64_t> v)
{
    std::sort(v.begin(), v.end());
    return {static_cast<double>(v[v.size() / 2]) / 1000, static_cast<double>(v[v.size() * 9 / 10]) / 1000};
}

// A frame out and back through a socketpair served by a thread that polls,
// reads and writes, as the simulator's thread does.
std::vector<int64_t> socketpair_round_trips(int n)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
        perror("socketpair");
        exit(1);
    }
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        pollfd p{sv[1], POLLIN, 0};
        can_frame f{};
        while (!stop.load()) {
            if (poll(&p, 1, 100) == 1 && recv(sv[1], &f, sizeof f, 0) == static_cast<ssize_t>(sizeof f)) {
                send(sv[1], &f, sizeof f, MSG_NOSIGNAL);
            }
        }
    });
    std::vector<int64_t> t;
    can_frame f = vsim::make_frame(0x7DF, {2, 1, 0x0C, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA});
    for (int i = 0; i < n; ++i) {
        int64_t t0 = now_ns();
        pollfd p{sv[0], POLLIN, 0};
        if (write(sv[0], &f, sizeof f) != static_cast<ssize_t>(sizeof f) || poll(&p, 1, 1000) != 1 ||
            read(sv[0], &f, sizeof f) != static_cast<ssize_t>(sizeof f)) {
            perror("round trip");
            exit(1);
        }
        t.push_back(now_ns() - t0);
    }
    stop.store(true);
    echo.join();
    close(sv[0]);
    close(sv[1]);
    return t;
}

std::vector<int64_t> exchanges(int n, uint8_t service, uint8_t param, int kind, size_t expect_len)
{
    std::vector<int64_t> t;
    std::array<uint8_t, OBD2_RESP_BUF_SIZE> buf{};
    uint8_t req[8];
    prepare_request(req, 2, service, param);
    for (int i = 0; i < n; ++i) {
        size_t len = 0;
        int64_t t0 = now_ns();
        const Obd2Outcome rc = send_obd2_request(1, req, sizeof req, buf.data(), &len, kind);
        t.push_back(now_ns() - t0);
        if (rc != Obd2Outcome::Answered || len != expect_len) {
            fprintf(stderr, "exchange failed: outcome %d len %zu\n", static_cast<int>(rc), len);
            exit(1);
        }
    }
    return t;
}

} // namespace

int main(int argc, char **argv)
{
    int n = argc > 1 ? std::max(10, atoi(argv[1])) : 2000;
    g_can_padding = 0xAA;

    auto e = vsim::make_ecu11(0);
    e.pids = {{0x0C, {0x1A, 0xF8}}};
    e.vin = "1HGCM82633A004352";
    vsim::InProcessBus bus(vsim::VehicleModel{{e}});
    bus.attach();

    // The exchange traces every frame; keep that out of the figures' output.
    fflush(stdout);
    int out = dup(STDOUT_FILENO);
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);

    Stats rt = stats(socketpair_round_trips(n));
    Stats sf = stats(exchanges(n, 0x01, 0x0C, OBD2_REQ_LIVE, 8));
    Stats vin = stats(exchanges(n, 0x09, 0x02, OBD2_REQ_VEHICLE_INFO, 21));

    fflush(stdout);
    dup2(out, STDOUT_FILENO);
    close(out);

    // Single frame: one round trip, one frame received. VIN: two round trips
    // (request -> first frame, flow control -> consecutive frames) and three
    // frames received.
    double sf_per_frame = sf.median_us - rt.median_us;
    double vin_per_frame = (vin.median_us - 2 * rt.median_us) / 3;
    printf("iterations                         %d\n", n);
    printf("socketpair round trip      median %8.1f us  p90 %8.1f us\n", rt.median_us, rt.p90_us);
    printf("single-frame exchange      median %8.1f us  p90 %8.1f us\n", sf.median_us, sf.p90_us);
    printf("VIN exchange (3 frames)    median %8.1f us  p90 %8.1f us\n", vin.median_us, vin.p90_us);
    printf("added per frame: single %.1f us, VIN %.1f us (target < 50 us)\n", sf_per_frame, vin_per_frame);
    return (sf_per_frame < 50 && vin_per_frame < 50) ? 0 : 2;
}
