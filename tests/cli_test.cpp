// obd-gateway-cli in memory: command lines, and packets of the gateway turned
// into printed text and an exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli.h"

namespace
{

using cli::kExitFailed;
using cli::kExitOk;
using Lines = std::vector<std::string>;

enum class End { Open, Timeout, Interrupt };

struct Case {
    const char *name;
    Lines args;
    Lines packets; // fed until the session is done; any left over must not be needed
    End end;
    Lines out;
    std::string err;
    int exit;
};

const char kEcuInfo[] =
    "{\n\t\"ECU_INFO\":\t{\n\t\t\"VID\":\t\"VF1SIM00000000042\",\n\t\t\"CID\":\t\"CAL-1\",\n"
    "\t\t\"CVN\":\t\"12AB34CD\",\n\t\t\"ECUNM\":\t\"ECM\",\n\t\t\"PROTO\":\t\"ISO15765-4 (11-bit)\",\n"
    "\t\t\"BR\":\t500000\n\t},\n\t\"LIVE_PIDS\":\t{\n\t\t\"ENGLD\":\t1,\n\t\t\"COLTMP\":\t0,\n"
    "\t\t\"ENGRPM\":\t1\n\t}\n}";
const Lines kInfoLines{"VIN          VF1SIM00000000042",
                       "calibration  CAL-1",
                       "CVN          12AB34CD",
                       "ECU name     ECM",
                       "protocol     ISO15765-4 (11-bit)",
                       "bit rate     500000 bit/s",
                       "sensors      2 answer: ENGLD ENGRPM"};

std::string st(const std::string &msg, int cmd, int error)
{
    return R"({"TYP":1,"CMD":)" + std::to_string(cmd) + R"(,"ERROR":)" + std::to_string(error) +
           R"(,"DATA":{"msg":")" + msg + "\"}}";
}
const std::string kNores1 = st("NORES", 1, 1);
const std::string kDtc =
    R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0301"],"PNDDTC":["P0301","U0100"],"PRMDTC":[]}})";
const Lines kDtcText{"stored     P0301", "pending    P0301 U0100", "permanent  none"};
const std::string kLive = "{\n  \"TYP\": 1,\n  \"CMD\": 2,\n  \"DATA\": {\n    \"ENGRPM\": 812.50,\n"
                          "    \"COLTMP\": \"--\"\n  }\n}";
const std::string kReady =
    R"({"TYP":1,"CMD":13,"DATA":{"MIL":1,"DTCCNT":2,"IGN":"SPARK","MON":{"MISF":"COMPLETE",)"
    R"("CAT":"INCOMPLETE","EGR":"UNSUPPORTED"},"CYC":{"MISF":"COMPLETE","CAT":"COMPLETE"}}})";
const std::string kFreeze =
    R"({"TYP":1,"CMD":14,"DATA":{"DTC":"P0301","VAL":{"ENGLD":41.96,"STFT1":-1.56}}})";
const std::string kNores = "NORES: the vehicle gave no usable answer";

const Case kCases[] = {
    {"codes in words", {"dtc"}, {st("ECU", 0, 0), kDtc}, End::Open, kDtcText, "", kExitOk},
    {"codes after two failed attempts", {"dtc"}, {kNores1, kNores1, kDtc}, End::Open, kDtcText, "", kExitOk},
    {"fourth NORES ends it",
     {"dtc"},
     {kNores1, kNores1, kNores1, kNores1, kDtc},
     End::Open,
     {},
     kNores + " (4 attempts)",
     kExitFailed},
    {"NORES, then silence",
     {"dtc"},
     {kNores1},
     End::Timeout,
     {},
     kNores + " (no further answer within 40 s)",
     kExitFailed},
    {"COMER at once",
     {"dtc"},
     {st("COMER", 1, 1)},
     End::Open,
     {},
     "COMER: no vehicle detected for this command",
     kExitFailed},
    {"other commands' packets ignored",
     {"dtc", "--timeout", "2.5"},
     {st("NORES", 13, 1), kReady, kFreeze},
     End::Timeout,
     {},
     "no answer within 2.5 s (is obd-gateway running?)",
     kExitFailed},
    {"cleared",
     {"clear", "--yes"},
     {st("DTC_CLEARED", 4, 0)},
     End::Open,
     {"cleared: the trouble codes of every ECU (the freeze frame and the monitors start over)"},
     "",
     kExitOk},
    {"readiness not supported",
     {"readiness"},
     {st("NOTSUP", 13, 0)},
     End::Open,
     {},
     "NOTSUP: the vehicle does not support this",
     kExitFailed},
    {"readiness",
     {"readiness"},
     {kReady},
     End::Open,
     {"check-engine light  on", "confirmed codes     2", "ignition            spark",
      "monitor                           since clear    this cycle",
      "MISF   misfire                    complete       complete",
      "CAT    catalyst                   incomplete     complete",
      "EGR    EGR and/or VVT system      not supported  -"},
     "",
     kExitOk},
    {"freeze frame with catalogue units",
     {"freeze"},
     {kFreeze},
     End::Open,
     {"freeze frame stored by P0301", "ENGLD    engine_load                       41.96 %",
      "STFT1    stft_bank1                        -1.56 %"},
     "",
     kExitOk},
    {"no freeze frame is an answer",
     {"freeze"},
     {st("NOFRAME", 14, 0)},
     End::Open,
     {"no freeze frame stored"},
     "",
     kExitOk},
    {"freeze frame refused",
     {"freeze"},
     {st("NOTSUP", 14, 0)},
     End::Open,
     {},
     "NOTSUP: the vehicle does not support this",
     kExitFailed},
    {"live data not an object",
     {"live", "--count", "1"},
     {R"({"TYP":1,"CMD":2,"DATA":[1]})"},
     End::Open,
     {"#1"},
     "",
     kExitOk},
    {"monitors not an object",
     {"readiness"},
     {R"({"TYP":1,"CMD":13,"DATA":{"MIL":0,"MON":[1]}})"},
     End::Open,
     {"check-engine light  off", "confirmed codes     ?", "ignition            ?",
      "monitor                           since clear"},
     "",
     kExitOk},
    {"frame values not an object",
     {"freeze"},
     {R"({"TYP":1,"CMD":14,"DATA":{"DTC":"P0301","VAL":[1]}})"},
     End::Open,
     {"freeze frame stored by P0301"},
     "",
     kExitOk},
    {"packets as they came", {"--json", "dtc"}, {kNores1, kDtc}, End::Open, {kNores1, kDtc}, "", kExitOk},
    {"live counted",
     {"live", "--count=2"},
     {kLive, st("NORES", 2, 1), kLive, kLive},
     End::Open,
     {"#1  ENGRPM 812.50 rpm  COLTMP --", "#2  ENGRPM 812.50 rpm  COLTMP --"},
     "",
     kExitOk},
    {"live one line a packet",
     {"live", "--json", "--count", "1"},
     {kLive},
     End::Open,
     {R"({"TYP":1,"CMD":2,"DATA":{"ENGRPM":812.50,"COLTMP":"--"}})"},
     "",
     kExitOk},
    {"live ended by Ctrl-C",
     {"live"},
     {kLive},
     End::Interrupt,
     {"#1  ENGRPM 812.50 rpm  COLTMP --"},
     "",
     kExitOk},
    {"Ctrl-C before an answer",
     {"live"},
     {},
     End::Interrupt,
     {},
     "interrupted before an answer",
     kExitFailed},
    {"live stalls",
     {"live"},
     {kLive},
     End::Timeout,
     {"#1  ENGRPM 812.50 rpm  COLTMP --"},
     "live data stopped: no snapshot within 40 s",
     kExitFailed},
    {"status present",
     {"status"},
     {st("GOTPID", 0, 0), st("ECU", 0, 0)},
     End::Open,
     [] {
         Lines l{"vehicle      present"};
         l.insert(l.end(), kInfoLines.begin(), kInfoLines.end());
         return l;
     }(),
     "",
     kExitOk},
    {"status absent",
     {"status"},
     {st("NOECU", 0, 1)},
     End::Open,
     [] {
         Lines l{"vehicle      NOECU: no vehicle answers"};
         l.insert(l.end(), kInfoLines.begin(), kInfoLines.end());
         return l;
     }(),
     "NOECU: no vehicle answers",
     kExitFailed},
    {"status bad configuration",
     {"status", "--json"},
     {st("WRNGCFG", 0, 1)},
     End::Open,
     {st("WRNGCFG", 0, 1)},
     "WRNGCFG: config.json cannot be used",
     kExitFailed},
    {"status without a gateway",
     {"status"},
     {},
     End::Timeout,
     {},
     "no heartbeat within 40 s (is obd-gateway running?)",
     kExitFailed},
    {"reload reports",
     {"reload"},
     {st("ECU", 0, 0), st("MODEDETECTED", 0, 0), st("GOTINFO", 0, 0), st("GOTPID", 0, 0), st("SAVSUC", 0, 0)},
     End::Open,
     {"MODEDETECTED  vehicle found, addressing mode detected", "GOTINFO       vehicle identification read",
      "GOTPID        supported sensors known", "SAVSUC        start-up complete, ecu_info.json up to date"},
     "",
     kExitOk},
    {"reload without a vehicle",
     {"reload"},
     {st("NOECU", 0, 1)},
     End::Open,
     {"NOECU         no vehicle answers"},
     "NOECU: no vehicle answers",
     kExitFailed},
    {"watch explains",
     {"watch", "--count", "3"},
     {st("COMER", 2, 1), kLive, "not json", kDtc},
     End::Open,
     {st("COMER", 2, 1) + "   no vehicle detected for this command (error)",
      R"({"TYP":1,"CMD":2,"DATA":{"ENGRPM":812.50,"COLTMP":"--"}})" + std::string("   live data: 2 values"),
      "not json   (not JSON)"},
     "",
     kExitOk},
};

TEST(Cli, PacketsToTextAndExitStatus)
{
    for (const Case &c : kCases) {
        const cli::Parsed p = cli::parse_args(c.args);
        ASSERT_EQ(p.error, "") << c.name;
        cli::Session s(p.opt, [] { return std::optional<std::string>(kEcuInfo); });
        Lines out;
        std::string err;
        cli::Step step;
        for (size_t i = 0; i < c.packets.size() && !step.done; ++i) {
            step = s.packet(c.packets[i]);
            out.insert(out.end(), step.out.begin(), step.out.end());
            err += step.err;
        }
        if (!step.done) {
            EXPECT_NE(c.end, End::Open) << c.name << ": not done after its packets";
            step = c.end == End::Timeout ? s.timed_out() : s.interrupted();
            out.insert(out.end(), step.out.begin(), step.out.end());
            err += step.err;
        }
        EXPECT_EQ(out, c.out) << c.name;
        EXPECT_EQ(err, c.err) << c.name;
        EXPECT_EQ(step.exit, c.exit) << c.name;
    }
}

TEST(Cli, CommandLines)
{
    struct Row {
        Lines args;
        std::string payload_or_error; // the command published, or the usage error
    };
    const Row rows[] = {
        {{"dtc"}, R"({"TYP":1,"CMD":1})"},
        {{"--host", "10.0.0.2", "clear", "--port", "1884"}, R"({"TYP":1,"CMD":4})"},
        {{"reload"}, R"({"TYP":1,"CMD":10})"},
        {{"status"}, ""},
        {{"relay", "do3", "ON"}, R"({"TYP":2,"DATA":{"params":{"DO":{"DO3":1}}}})"},
        {{"relay", "DO11", "off"}, R"({"TYP":2,"DATA":{"params":{"DO":{"DO11":0}}}})"},
        {{"relay", "all", "off"},
         R"({"TYP":2,"DATA":{"params":{"DO":{"DO0":0,"DO1":0,"DO2":0,"DO3":0,"DO4":0,)"
         R"("DO5":0,"DO6":0,"DO7":0,"DO8":0,"DO9":0,"DO10":0,"DO11":0}}}})"},
        {{"relay", "DO12", "on"}, "no relay DO12 (DO0..DO11 or all)"},
        {{"relay", "DO03", "on"}, "no relay DO03 (DO0..DO11 or all)"},
        {{"relay", "DO3", "1"}, "a relay is switched on or off, not 1"},
        {{"relay", "DO3"}, "relay takes a relay (DO0..DO11 or all) and on or off"},
        {{}, "no command given"},
        {{"codes"}, "unknown command codes"},
        {{"dtc", "now"}, "dtc takes no arguments"},
        {{"dtc", "--count", "2"}, "--count is for live and watch"},
        {{"live", "--count", "0"}, "--count takes a whole number from 1: 0"},
        {{"live", "--count", "1.5"}, "--count takes a whole number from 1: 1.5"},
        {{"dtc", "--timeout", "0"}, "--timeout takes seconds, more than 0 and at most 86400: 0"},
        {{"dtc", "--timeout", "nan"}, "--timeout takes seconds, more than 0 and at most 86400: nan"},
        {{"dtc", "--timeout"}, "--timeout needs a value"},
        {{"dtc", "--port", "65536"}, "--port takes a number from 1 to 65535: 65536"},
        {{"dtc", "--verbose"}, "unknown option --verbose"},
    };
    for (const Row &r : rows) {
        const cli::Parsed p = cli::parse_args(r.args);
        EXPECT_EQ(p.error.empty() ? cli::command_payload(p.opt) : p.error, r.payload_or_error)
            << r.args.size();
    }
    const cli::Parsed p =
        cli::parse_args({"--host", "10.0.0.2", "clear", "--port", "1884", "--timeout", "7"});
    EXPECT_EQ(std::tuple(p.opt.host, p.opt.port, p.opt.timeout_s), std::tuple("10.0.0.2", 1884, 7.0));
    for (const auto &[answer, yes] :
         {std::pair("y\n", true), {" YES \n", true}, {"\n", false}, {"yes please", false}}) {
        EXPECT_EQ(cli::confirmed(answer), yes) << answer;
    }
}

} // namespace
