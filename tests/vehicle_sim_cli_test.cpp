// obd-vehicle-sim's control channel: each command changes what the vehicle
// puts on the bus, seen by a SocketCAN program through the preload library.
#include "sim_bus_fixture.h"

namespace
{

using namespace tooltest;

struct ControlCase {
    const char *name;
    std::vector<std::string> commands;
    std::vector<std::string> probe;    // socket options and frames the probe sends
    std::vector<std::string> expected; // the start of every frame received; the last, whole, ends the probe
};

TEST_F(SimBus, ControlCommandsChangeTheAnswers)
{
    const std::vector<ControlCase> cases = {
        {"set a PID value",
         {"pid 0D 42"},
         {"--filter", "7E8:7F8", "--send", "7DF#02010D5555555555"},
         {"7E8#03410D42AAAAAAAA"}},
        {"answer a PID negatively",
         {"negative 01 0D 31"},
         {"--filter", "7E8:7F8", "--send", "7DF#02010D5555555555"},
         {"7E8#037F0131AAAAAAAA"}},
        {"replace the stored codes",
         {"negative 01 0D 00", "dtc stored P0123 U0100"},
         {"--filter", "7E8:7F8", "--send", "7DF#0103555555555555"},
         {"7E8#0643020123C100AA"}},
        {"response pending twice, then the answer",
         {"pending 01 2 10"},
         {"--filter", "7E8:7F8", "--send", "7DF#02010D5555555555"},
         {"7E8#037F0178", "7E8#037F0178", "7E8#03410D42AAAAAAAA"}},
        {"busy answers, then a refusal, for the clear",
         {"pending 01 0 0", "pending 04 0 0", "clear 2 22"},
         {"--filter", "7E8:7F8", "--send", "7DF#0104555555555555", "--send", "7DF#0104555555555555", "--send",
          "7DF#0104555555555555"},
         {"7E8#037F0478", "7E8#037F0478", "7E8#037F0422AAAAAAAA"}},
        {"a wrong sequence number in the next segmented answer",
         {"latency 0", "wrongseq"},
         {"--filter", "7E8:7F8", "--send", "7DF#0209025555555555", "--send", "7E0#3000005555555555"},
         {"7E8#1014490201564631", "7E8#2253494D30303030", "7E8#2230303030303432"}},
        {"chatter before every answer",
         {"latency 2 ecu=0", "chatter 7E0#01"},
         {"--filter", "7E0:7F0", "--send", "7DF#02010C5555555555"},
         {"7E0#01", "7E8#04410C0C35AAAAAA"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto &cmd : c.commands) {
            ASSERT_EQ(control(cmd), "ok\n") << cmd;
        }
        std::vector<std::string> args = c.probe;
        args.insert(args.end(), {"--until", c.expected.back(), "--listen", "3000"});
        auto p = ready_probe(args);
        auto rx = received(*p);
        ASSERT_EQ(rx.size(), c.expected.size()) << ::testing::PrintToString(rx);
        for (size_t i = 0; i < rx.size(); ++i) {
            EXPECT_EQ(rx[i].substr(0, c.expected[i].size()), c.expected[i]) << rx[i];
        }
    }
}

// Silence and its end, seen from the bus: no answer while silent.
TEST_F(SimBus, SilentVehicleAnswersNothingUntilItComesBack)
{
    ASSERT_EQ(control("silent"), "ok\n");
    auto p = ready_probe(
        {"--filter", "7E8:7F8", "--send", "7DF#02010D5555555555", "--until", "7E8#EE", "--listen", "3000"});
    ASSERT_TRUE(wait_trace("RX  7DF", 1));
    ASSERT_EQ(control("inject 7E8#EE"), "ok\n");
    EXPECT_EQ(received(*p), std::vector<std::string>{"7E8#EE"});

    ASSERT_EQ(control("back"), "ok\n");
    auto q = ready_probe({"--filter", "7E8:7F8", "--send", "7DF#02010D5555555555", "--until",
                          "7E8#03410D00AAAAAAAA", "--listen", "3000"});
    EXPECT_EQ(received(*q).size(), 1u);
}

// "late MS" delays only the next answer.
TEST_F(SimBus, LateAnswerComesLateOnce)
{
    ASSERT_EQ(control("late 300"), "ok\n");
    auto stamp_of = [&]() {
        auto p = ready_probe({"--stamp", "--filter", "7E8:7F8", "--send", "7DF#02010D5555555555", "--until",
                              "7E8#03410D00AAAAAAAA", "--listen", "3000"});
        const auto rx = received(*p); // "+MSms FRAME"
        return rx.empty() ? -1 : std::atoi(rx[0].c_str() + 1);
    };
    EXPECT_GE(stamp_of(), 290);
    const int second = stamp_of();
    EXPECT_GE(second, 0);
    EXPECT_LT(second, 200);
}

// Random hostile traffic: exactly N frames, all valid classic frames.
TEST_F(SimBus, RandomFramesAreCountedAndWellFormed)
{
    auto p = ready_probe({"--err-mask", "1FFFFFFF", "--until", "7FF#EE", "--listen", "4000"});
    ASSERT_EQ(control("random 40 7"), "ok\n");
    ASSERT_TRUE(wait_trace("[random]", 40));
    ASSERT_EQ(control("inject 7FF#EE"), "ok\n");
    auto rx = received(*p);
    ASSERT_EQ(rx.size(), 41u);
    for (const auto &f : rx) {
        auto hash = f.find('#');
        ASSERT_NE(hash, std::string::npos);
        EXPECT_LE(f.size() - hash - 1, 16u) << f; // at most 8 data bytes
    }
}

TEST_F(SimBus, BadCommandsAreRefusedWithAReason)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"frobnicate", "error: unknown command 'frobnicate'"},
        {"pid 0C", "error: usage: pid"},
        {"pid ZZ 01", "error: usage: pid"},
        {"pid 0C 1G", "error: PID data"},
        {"dtc stored X0301", "error: bad code X0301"},
        {"dtc broken P0301", "error: the group is"},
        {"silent ecu=3", "error: no ECU 3"},
        {"silent maybe", "error: usage: silent"},
        {"inject 7E8#0G", "error: bad frame 7E8#0G"},
        {"inject 800#01", "error: bad frame 800#01"},
        {"latency -5", "error: usage: latency"},
        {"random 0", "error: usage: random"},
        {"negative 01 0D", "error: usage: negative"},
    };
    for (const auto &[cmd, want] : cases) {
        std::string got = control(cmd);
        EXPECT_EQ(got.substr(0, want.size()), want) << cmd << " -> " << got;
    }
    // The simulator still serves after all of them.
    EXPECT_NE(control("status").find("ecu 0: 11-bit answers 7E8"), std::string::npos);
}

// The command-line client of the control socket.
TEST_F(SimBus, SendClientReportsTheReply)
{
    ToolProcess ok({sim_path_, "--send", ctl_, "dtc", "pending", "P0420"});
    EXPECT_EQ(ok.wait(kProbeMs), 0) << ok.err();
    EXPECT_EQ(ok.lines(), std::vector<std::string>{"ok"});
    EXPECT_NE(control("status").find("pending [P0420]"), std::string::npos);

    EXPECT_EQ(ToolProcess({sim_path_, "--send", ctl_, "dtc", "pending", "Q0420"}).wait(kProbeMs), 1);
    EXPECT_EQ(ToolProcess({sim_path_, "--send", dir_ + "/nothing", "status"}).wait(kProbeMs), 2);
}

} // namespace

// A file with two ECUs and chatter: both ECUs answer a functional request, in
// the order of their latencies, after the foreign frames of the file.
class AwkwardCar : public SimBus
{
  protected:
    std::string vehicle() const override { return "tools/vehicles/awkward_two_ecus.json"; }
};

TEST_F(AwkwardCar, BothEcusAnswerAfterTheChatter)
{
    auto p = ready_probe({"--err-mask", "4", "--send", "7DF#0201055555555555", "--until",
                          "7E9#03410570AAAAAAAA", "--listen", "3000"});
    EXPECT_EQ(received(*p), (std::vector<std::string>{"7E0#0201000000000000", "20000004#0000000000000000",
                                                      "7E8#03410578AAAAAAAA", "7E9#03410570AAAAAAAA"}));
}
