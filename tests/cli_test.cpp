// obd-gateway-cli in memory: command lines, and packets of the gateway turned
// into printed text and an exit status.
#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cli/cli.h"

namespace
{

using Lines = std::vector<std::string>;

Lines words(const std::string &s)
{
    std::istringstream in(s);
    return Lines(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>());
}

std::string st(const std::string &msg, int cmd, int error)
{
    return R"({"TYP":1,"CMD":)" + std::to_string(cmd) + R"(,"ERROR":)" + std::to_string(error) +
           R"(,"DATA":{"msg":")" + msg + "\"}}";
}

const char kEcuInfo[] =
    "{\n\t\"ECU_INFO\":\t{\n\t\t\"VID\":\t\"VF1SIM00000000042\",\n\t\t\"CID\":\t\"CAL-1\",\n"
    "\t\t\"CVN\":\t\"12AB34CD\",\n\t\t\"ECUNM\":\t\"ECM\",\n\t\t\"PROTO\":\t\"ISO15765-4 (11-bit)\",\n"
    "\t\t\"BR\":\t500000\n\t},\n\t\"LIVE_PIDS\":\t{\n\t\t\"ENGLD\":\t1,\n\t\t\"COLTMP\":\t0,\n\t\t\"ENGRPM\":"
    "\t1\n\t}\n}";
const std::string kInfo =
    "VIN          VF1SIM00000000042\ncalibration  CAL-1\nCVN          12AB34CD\nECU name     ECM\n"
    "protocol     ISO15765-4 (11-bit)\nbit rate     500000 bit/s\nsensors      2 answer: ENGLD ENGRPM\n";
const std::string kNores1 = st("NORES", 1, 1);
const std::string kDtc =
    R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0301"],"PNDDTC":["P0301","U0100"],"PRMDTC":[]}})";
const std::string kDtcText = "stored     P0301\npending    P0301 U0100\npermanent  none\n";
const std::string kLive = "{\n  \"TYP\": 1,\n  \"CMD\": 2,\n  \"DATA\": {\n    \"ENGRPM\": 812.50,\n"
                          "    \"COLTMP\": \"--\"\n  }\n}";
const std::string kLiveLine = "#1  ENGRPM 812.50 rpm  COLTMP --\n";
const std::string kReady =
    R"({"TYP":1,"CMD":13,"DATA":{"MIL":1,"DTCCNT":2,"IGN":"SPARK","MON":{"MISF":"COMPLETE",)"
    R"("CAT":"INCOMPLETE","EGR":"UNSUPPORTED"},"CYC":{"MISF":"COMPLETE","CAT":"COMPLETE"}}})";
const std::string kFreeze =
    R"({"TYP":1,"CMD":14,"DATA":{"DTC":"P0301","VAL":{"ENGLD":41.96,"STFT1":-1.56}}})";
const std::string kNores = "error: NORES: the vehicle gave no usable answer";
const std::string kNotsup = "error: NOTSUP: the vehicle does not support this\nexit 1";

enum class End { Open, Timeout, Interrupt };

// The session must end exactly at its last packet (End::Open), or take them
// all and end by the time-out or Ctrl-C. The transcript: standard output's
// lines, "error: " and the standard error line, "exit" and the status.
struct Case {
    const char *args;
    Lines packets;
    End end;
    std::string transcript;
};
const Case kCases[] = {
    {"dtc", {st("ECU", 0, 0), kDtc}, End::Open, kDtcText + "exit 0"},
    {"dtc", {kNores1, kNores1, kNores1, kDtc}, End::Open, kDtcText + "exit 0"},
    {"dtc", {kNores1, kNores1, kNores1, kNores1}, End::Open, kNores + " (4 attempts)\nexit 1"},
    {"dtc", {kNores1}, End::Timeout, kNores + " (no further answer within 40 s)\nexit 1"},
    {"dtc", {st("COMER", 1, 1)}, End::Open, "error: COMER: no vehicle detected for this command\nexit 1"},
    {"dtc --timeout 2.5",
     {st("NORES", 13, 1), kReady, kFreeze, st("NOECU", 0, 1)},
     End::Timeout,
     "error: no answer within 2.5 s (is obd-gateway running?)\nexit 1"},
    {"clear --yes",
     {st("DTC_CLEARED", 4, 0)},
     End::Open,
     "cleared: the trouble codes of every ECU (the freeze frame and the monitors start over)\nexit 0"},
    {"readiness", {st("NOTSUP", 13, 0)}, End::Open, kNotsup},
    {"readiness",
     {kReady},
     End::Open,
     "check-engine light  on\nconfirmed codes     2\nignition            spark\n"
     "monitor                           since clear    this cycle\n"
     "MISF   misfire                    complete       complete\n"
     "CAT    catalyst                   incomplete     complete\n"
     "EGR    EGR and/or VVT system      not supported  -\nexit 0"},
    {"freeze",
     {kFreeze},
     End::Open,
     "freeze frame stored by P0301\nENGLD    engine_load                       41.96 %\n"
     "STFT1    stft_bank1                        -1.56 %\nexit 0"},
    {"freeze", {st("NOFRAME", 14, 0)}, End::Open, "no freeze frame stored\nexit 0"},
    {"freeze", {st("NOTSUP", 14, 0)}, End::Open, kNotsup},
    // Arrays where the gateway puts objects (anyone may publish on the topic).
    {"live --count 1", {R"({"TYP":1,"CMD":2,"DATA":[1]})"}, End::Open, "#1\nexit 0"},
    {"readiness",
     {R"({"TYP":1,"CMD":13,"DATA":{"MIL":0,"MON":[1]}})"},
     End::Open,
     "check-engine light  off\nconfirmed codes     ?\nignition            ?\nmonitor                         "
     "  since "
     "clear\nexit 0"},
    {"freeze",
     {R"({"TYP":1,"CMD":14,"DATA":{"DTC":"P0301","VAL":[1]}})"},
     End::Open,
     "freeze frame stored by P0301\nexit 0"},
    {"--json dtc", {kNores1, kDtc}, End::Open, kNores1 + "\n" + kDtc + "\nexit 0"},
    {"live --count=2",
     {kLive, st("NORES", 2, 1), kLive},
     End::Open,
     kLiveLine + "#2  ENGRPM 812.50 rpm  COLTMP --\nexit 0"},
    {"live --json --count 1",
     {kLive},
     End::Open,
     R"({"TYP":1,"CMD":2,"DATA":{"ENGRPM":812.50,"COLTMP":"--"}})"
     "\nexit 0"},
    {"live", {kLive}, End::Interrupt, kLiveLine + "exit 0"},
    {"live", {}, End::Interrupt, "error: interrupted before an answer\nexit 1"},
    {"live", {kLive}, End::Timeout, kLiveLine + "error: live data stopped: no snapshot within 40 s\nexit 1"},
    // The heartbeat, not SAVSUC: the record is written after SAVSUC.
    {"status",
     {st("GOTPID", 0, 0), st("SAVSUC", 0, 0), st("ECU", 0, 0)},
     End::Open,
     "vehicle      present\n" + kInfo + "exit 0"},
    {"status",
     {st("NOECU", 0, 1)},
     End::Open,
     "vehicle      NOECU: no vehicle answers\n" + kInfo + "error: NOECU: no vehicle answers\nexit 1"},
    {"status --json",
     {st("WRNGCFG", 0, 1)},
     End::Open,
     st("WRNGCFG", 0, 1) + "\nerror: WRNGCFG: config.json cannot be used\nexit 1"},
    {"status", {}, End::Timeout, "error: no heartbeat within 40 s (is obd-gateway running?)\nexit 1"},
    {"reload",
     {st("ECU", 0, 0), st("MODEDETECTED", 0, 0), st("GOTINFO", 0, 0), st("GOTPID", 0, 0), st("SAVSUC", 0, 0)},
     End::Open,
     "MODEDETECTED  vehicle found, addressing mode detected\nGOTINFO       vehicle identification read\n"
     "GOTPID        supported sensors known\nSAVSUC        start-up complete, ecu_info.json up to date\nexit "
     "0"},
    {"reload",
     {st("NOECU", 0, 1)},
     End::Open,
     "NOECU         no vehicle answers\nerror: NOECU: no vehicle answers\nexit 1"},
    {"watch --count 3",
     {st("COMER", 2, 1), kLive, "not json"},
     End::Open,
     st("COMER", 2, 1) + "   no vehicle detected for this command (error)\n" +
         R"({"TYP":1,"CMD":2,"DATA":{"ENGRPM":812.50,"COLTMP":"--"}}   live data: 2 values)" +
         "\nnot json   (not JSON)\nexit 0"},
};

TEST(Cli, PacketsToTextAndExitStatus)
{
    for (size_t row = 0; row < std::size(kCases); ++row) {
        const Case &c = kCases[row];
        const cli::Parsed p = cli::parse_args(words(c.args));
        ASSERT_EQ(p.error, "") << row;
        cli::Session s(p.opt, [] { return std::optional<std::string>(kEcuInfo); });
        std::string got;
        cli::Step step;
        auto take = [&](const cli::Step &t) {
            for (const auto &line : t.out) {
                got += line + "\n";
            }
            got += t.err.empty() ? "" : "error: " + t.err + "\n";
        };
        for (size_t i = 0; i < c.packets.size(); ++i) {
            EXPECT_FALSE(step.done) << "row " << row << " (" << c.args << "): ended before packet " << i;
            take(step = s.packet(c.packets[i]));
        }
        EXPECT_EQ(step.done, c.end == End::Open) << "row " << row << " (" << c.args << ")";
        if (c.end != End::Open) {
            take(step = c.end == End::Timeout ? s.timed_out() : s.interrupted());
        }
        EXPECT_EQ(got + "exit " + std::to_string(step.exit), c.transcript)
            << "row " << row << " (" << c.args << ")";
    }
}

TEST(Cli, CommandLines)
{
    // The command published, or the usage error.
    const std::pair<const char *, std::string> rows[] = {
        {"dtc", R"({"TYP":1,"CMD":1})"},
        {"--host 10.0.0.2 clear --port 1884", R"({"TYP":1,"CMD":4})"},
        {"reload", R"({"TYP":1,"CMD":10})"},
        {"status", ""},
        {"relay do3 ON", R"({"TYP":2,"DATA":{"params":{"DO":{"DO3":1}}}})"},
        {"relay DO11 off", R"({"TYP":2,"DATA":{"params":{"DO":{"DO11":0}}}})"},
        {"relay all off",
         R"({"TYP":2,"DATA":{"params":{"DO":{"DO0":0,"DO1":0,"DO2":0,"DO3":0,"DO4":0,"DO5":0,)"
         R"("DO6":0,"DO7":0,"DO8":0,"DO9":0,"DO10":0,"DO11":0}}}})"},
        {"relay DO12 on", "no relay DO12 (DO0..DO11 or all)"},
        {"relay DO03 on", "no relay DO03 (DO0..DO11 or all)"},
        {"relay DO3 1", "a relay is switched on or off, not 1"},
        {"relay DO3", "relay takes a relay (DO0..DO11 or all) and on or off"},
        {"", "no command given"},
        {"codes", "unknown command codes"},
        {"dtc now", "dtc takes no arguments"},
        {"dtc --count 2", "--count is for live and watch"},
        {"live --count 0", "--count takes a whole number from 1: 0"},
        {"live --count 1.5", "--count takes a whole number from 1: 1.5"},
        {"dtc --timeout 0", "--timeout takes seconds, more than 0 and at most 86400: 0"},
        {"dtc --timeout nan", "--timeout takes seconds, more than 0 and at most 86400: nan"},
        {"dtc --timeout", "--timeout needs a value"},
        {"dtc --port 65536", "--port takes a number from 1 to 65535: 65536"},
        {"dtc --verbose", "unknown option --verbose"},
    };
    for (const auto &[args, want] : rows) {
        const cli::Parsed p = cli::parse_args(words(args));
        EXPECT_EQ(p.error.empty() ? cli::command_payload(p.opt) : p.error, want) << args;
    }
    const cli::Parsed p = cli::parse_args(words("--host 10.0.0.2 clear --port 1884 --timeout 7"));
    EXPECT_EQ(std::tuple(p.opt.host, p.opt.port, p.opt.timeout_s), std::tuple("10.0.0.2", 1884, 7.0));
    for (const auto &[answer, yes] :
         {std::pair("y\n", true), {" YES \n", true}, {"\n", false}, {"yes please", false}}) {
        EXPECT_EQ(cli::confirmed(answer), yes) << answer;
    }
}

} // namespace
