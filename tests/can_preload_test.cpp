// The simulated CAN bus as a SocketCAN program sees it: obdsim-can-probe (plain
// socket/ioctl/bind/setsockopt/read/write calls) under the preload library,
// against obd-vehicle-sim --bus. Filters, error masks, loopback and error codes
// must be those of a kernel raw CAN socket, or the gateway would be tested
// against a bus that forgives what can0 does not.
#include <gmock/gmock.h>

#include <algorithm>

#include "sim_bus_fixture.h"

namespace
{

using namespace tooltest;

struct FilterCase {
    const char *name;
    std::vector<std::string> socket_args; // probe options setting up the socket
    std::vector<std::string> bus_frames;  // put on the bus by the vehicle side, in order
    std::vector<std::string> expected;    // received, in order; the last goes on the bus last, ends the probe
};

// Frames written by the vehicle side reach each socket as the kernel's raw
// socket filters decide.
TEST_F(SimBus, ReceiveFiltersFollowTheKernelRules)
{
    const std::vector<FilterCase> cases = {
        {"gateway channel 0: 7E8..7EF, any frame format, TX-timeout errors",
         {"--filter", "7E8:7F8", "--err-mask", "1"},
         {"7EF#01", "7F0#02", "7E0#03", "7E7#04", "000007E8#05", "18DAF110#06", "20000001#", "20000040#"},
         {"7EF#01", "000007E8#05", "20000001#", "7E8#AA"}},
        {"gateway channel 1: only 18DAF110",
         {"--filter", "18DAF110:1FFFFFFF", "--err-mask", "1"},
         {"18DAF111#01", "7E8#02", "18DAF110#03", "18DAF011#04", "20000001#", "20000004#"},
         {"18DAF110#03", "20000001#", "18DAF110#AA"}},
        {"mask with the extended flag: 11-bit frames only",
         {"--filter", "7E8:C00007FF"},
         {"000007E8#01", "7E8#02", "7E9#03"},
         {"7E8#02", "7E8#AA"}},
        {"inverted filter: everything but 7E8",
         {"--filter", "200007E8:7FF"},
         {"7E8#01", "7E9#02", "18DAF110#03"},
         {"7E9#02", "18DAF110#03", "7EA#AA"}},
        {"two matching filters deliver a frame once",
         {"--filter", "7E8:7F8", "--filter", "7E8:7FF"},
         {"7E8#01", "7EC#02"},
         {"7E8#01", "7EC#02", "7E9#AA"}},
        {"join filters: every filter must match",
         {"--filter", "7E0:7F0", "--filter", "0E8:0FF", "--join", "1"},
         {"7E1#01", "0E8#02", "7E8#03"},
         {"7E8#03", "7E8#AA"}},
        {"no filter at all: only error frames of the mask",
         {"--no-filters", "--err-mask", "4"},
         {"7E8#01", "18DAF110#02", "20000001#"},
         {"20000004#"}},
        {"a fresh socket receives every data frame and no error frame",
         {},
         {"7E8#01", "18DAF110#02", "20000001#", "000#"},
         {"7E8#01", "18DAF110#02", "000#", "123#AA"}},
        {"error-class filter in the mask",
         {"--filter", "20000000:20000040"},
         {"7E8#01", "20000001#", "20000040#"},
         {"20000040#", "20000044#"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.socket_args;
        const std::string &marker = c.expected.back();
        args.insert(args.end(), {"--until", marker, "--listen", "3000"});
        auto p = ready_probe(args);
        std::string inject = "inject";
        for (const auto &f : c.bus_frames) {
            inject += " " + f;
        }
        ASSERT_EQ(control(inject + " " + marker), "ok\n");
        EXPECT_EQ(received(*p), c.expected);
    }
}

// Frames written by one socket reach the other sockets on can0 (local
// loopback), not the writer itself unless it asked for its own frames.
TEST_F(SimBus, LoopbackBetweenSockets)
{
    struct Case {
        const char *name;
        std::vector<std::string> sender;
        bool other_sees;
        bool sender_sees;
    };
    const std::vector<Case> cases = {
        {"defaults", {}, true, false},
        {"loopback off", {"--loopback", "0"}, false, false},
        {"own frames on", {"--recv-own", "1"}, true, true},
    };
    int sent = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto other = ready_probe({"--filter", "123:7FF", "--until", "123#EE", "--listen", "3000"});
        std::vector<std::string> args = c.sender;
        args.insert(args.end(),
                    {"--filter", "123:7FF", "--send", "123#01", "--until", "123#EE", "--listen", "3000"});
        auto sender = ready_probe(args);
        // The marker comes from the vehicle side once the sender's frame is on the bus.
        ASSERT_TRUE(frame_on_bus("RX  123", ++sent));
        ASSERT_EQ(control("inject 123#EE"), "ok\n");
        auto rx_other = received(*other);
        auto rx_sender = received(*sender);
        EXPECT_EQ(std::count(rx_other.begin(), rx_other.end(), "123#01"), c.other_sees ? 1 : 0);
        EXPECT_EQ(std::count(rx_sender.begin(), rx_sender.end(), "123#01"), c.sender_sees ? 1 : 0);
    }
}

// The calls a gateway makes fail where they fail on a real raw CAN socket.
TEST_F(SimBus, SocketCallsFailLikeTheKernel)
{
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string bus; // empty: the running simulator
        std::string expected_line;
    };
    const std::vector<Case> cases = {
        {"unknown interface", {"--iface", "can1"}, "", "ifindex: ENODEV"},
        {"interface name longer than can0", {"--iface", "can0x"}, "", "ifindex: ENODEV"},
        {"no simulator: no can0", {}, "/nonexistent/bus", "ifindex: ENODEV"},
        {"write before bind", {"--write-unbound"}, "", "write-unbound: ENXIO"},
        {"write of 15 bytes", {"--write-size", "15"}, "", "write-size: EINVAL"},
        {"write of 17 bytes", {"--write-size", "17"}, "", "write-size: EINVAL"},
        {"write of 16 bytes", {"--write-size", "16"}, "", "write-size: ok"},
        {"can0 taken down and up again under a bound socket",
         {"--link-bounce", "--listen", "3000"},
         "",
         "read: ENETDOWN"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (on_kernel() && !c.bus.empty()) {
            continue; // the kernel has no simulator to be missing
        }
        auto p = probe(c.args, c.bus);
        p->wait(kProbeMs);
        EXPECT_THAT(p->lines(), ::testing::Contains(c.expected_line)) << p->err();
    }
}

// The vehicle on the bus answers a gateway-style socket; the requests it wrote
// do not come back to it.
TEST_F(SimBus, VehicleAnswersThroughTheGatewayFilter)
{
    auto p =
        ready_probe({"--filter", "7E8:7F8", "--err-mask", "1", "--send", "7DF#0201000000000000", "--send",
                     "7DF#02010C0000000000", "--until", "7E8#04410C0C35AAAAAA", "--listen", "3000"});
    auto rx = received(*p);
    ASSERT_EQ(rx.size(), 2u) << ::testing::PrintToString(rx);
    EXPECT_EQ(rx[0].substr(0, 10), "7E8#064100"); // PID 00 bitmask
    const std::string trace = slurp(dir_ + "/sim.log");
    EXPECT_THAT(trace, ::testing::HasSubstr("RX  7DF        [8]  02 01 0C")) << "request missing";
    EXPECT_THAT(trace, ::testing::HasSubstr("TX  7E8        [8]  04 41 0C 0C 35")) << "answer missing";
}

// When the simulator goes away, the open socket reports the link down
// instead of end-of-file (a 0-byte read would look like a short frame).
TEST_F(SimBus, BusGoneReadsAsNetworkDown)
{
    if (on_kernel()) {
        GTEST_SKIP() << "the preload bus only: a real interface does not go with the simulator";
    }
    auto p = ready_probe({"--listen", "3000"});
    sim_->signal(SIGTERM);
    EXPECT_EQ(sim_->wait(kStartMs), 0);
    EXPECT_EQ(p->wait(kProbeMs), 3);
    EXPECT_THAT(p->lines(), ::testing::Contains("read: ENETDOWN"));
}

// "sudo ip link ..." through system() is logged, not run; other commands run.
TEST_F(SimBus, IpLinkCommandsAreLoggedNotRun)
{
    if (on_kernel()) {
        GTEST_SKIP() << "the preload library only: on a real interface the commands run";
    }
    auto p = probe({"--system", "sudo ip link set can0 up type can bitrate 500000"});
    EXPECT_EQ(p->wait(kProbeMs), 0);
    EXPECT_EQ(p->lines(), std::vector<std::string>{"system: 0"});
    EXPECT_EQ(slurp(dir_ + "/ip.log"), "sudo ip link set can0 up type can bitrate 500000\n");

    auto q = probe({"--system", "exit 3"});
    EXPECT_EQ(q->wait(kProbeMs), 0);
    EXPECT_EQ(q->lines(), std::vector<std::string>{"system: 768"}); // really ran: exit status 3
}

// The gateway's socket set-up run again over sockets that are still open (a
// new configuration, a retry after a partial failure) replaces them: the
// earlier pair is closed, the descriptor count stays put.
TEST_F(SimBus, RepeatedCanInitClosesTheEarlierSockets)
{
    ToolProcess p({built("tests/can-init-repeat"), "5"}, probe_env(bus_));
    ASSERT_EQ(p.wait(kProbeMs), 0) << p.err();
    auto runs = p.lines();
    ASSERT_FALSE(runs.empty()) << p.err();
    EXPECT_EQ(runs, std::vector<std::string>(5, runs[0])) << p.err();
    EXPECT_THAT(runs[0], ::testing::StartsWith("run 1 "));
}

} // namespace
