// Vehicle files as obd-vehicle-sim --check reads them: every sample loads, and
// a malformed file is refused with a message naming the field, never turned
// into a vehicle that quietly answers something else.
#include <gmock/gmock.h>

#include <fstream>

#include "sim_bus_fixture.h"

namespace
{

using namespace tooltest;

constexpr int kRunMs = 10000;

class VehicleFile : public SimTool
{
  protected:
    struct Result {
        int status;
        std::vector<std::string> out;
        std::string err;
    };

    Result check(const std::string &path)
    {
        ToolProcess p({sim_path_, "--vehicle", path, "--check"});
        int st = p.wait(kRunMs);
        return Result{st, p.lines(), p.err()};
    }

    Result check_text(const std::string &text)
    {
        std::string path = dir_ + "/v.json";
        std::ofstream(path) << text;
        return check(path);
    }
};

TEST_F(VehicleFile, SamplesLoad)
{
    for (const char *f :
         {"petrol_11bit.json", "diesel_29bit.json", "awkward_two_ecus.json", "hybrid_2027_uds.json"}) {
        SCOPED_TRACE(f);
        Result r = check(source(std::string("tools/vehicles/") + f));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.err.empty()) << r.err;
    }
}

// What a file says is what the vehicle holds: byte arrays and hex strings,
// the four DTC letters, derived flow-control identifiers.
TEST_F(VehicleFile, ContentsAreTakenAsWritten)
{
    Result r = check_text(R"({"name": "t", "obd": "uds", "ecus": [
        {"addressing": "11-bit", "response_id": "7EA", "pids": {"0C": [26, 248], "0x0D": "0x2A"},
         "dtcs": {"stored": ["P0301-13", "c1234", "B0001", "U0100", 4660, "P0301-1C"]}, "awaits_flow_control": false,
         "pending": [{"service": "04", "count": 2, "ms": 1500}],
         "monitors": {"mil": true, "complete": ["MISF", "CAT"], "incomplete": ["CCM", "EGR"]},
         "freeze_frame": {"dtc": "P0301", "pids": {"0C": "21 98"}}},
        {"addressing": "29-bit", "response_id": 417001751}]})");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *line : {
             "ecu 0: 11-bit answers 7EA, flow control on 7E2, answering, latency 0 ms, sends without flow "
             "control, OBD on UDS",
             "stored [P0301 C1234 B0001 U0100 P1234]",
             "failure types of P0301: 13 1C",
             // The count of the stored codes unless given; A-D = 85 45 81 80.
             "PIDs 01=85458180 0C=1AF8 0D=2A",
             "monitors since clear: MIL on, confirmed codes 5, spark, complete MISF CAT, incomplete CCM EGR",
             "freeze frame: P0301 0C=2198",
             "service 04: 2 response pending, 1500 ms apart, before the answer",
             // 417001751 = 0x18DAF117: ECU address 17, flow control on 18DA17F1.
             "ecu 1: 29-bit answers 18DAF117, flow control on 18DA17F1",
         }) {
        EXPECT_THAT(r.out, ::testing::Contains(::testing::HasSubstr(line)));
    }
}

TEST_F(VehicleFile, MalformedFilesAreRefusedNamingTheField)
{
    const std::string ok_ecu = R"("addressing": "11-bit")";
    auto one = [&](const std::string &members) { return R"({"ecus": [{)" + ok_ecu + ", " + members + "}]}"; };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{\n  \"ecus\": [\n    {\"addressing\": \"11-bit\",, }\n  ]\n}", "line 3 column "},
        {"[]", "(top level): expected an object"},
        {"{}", "ecus: missing"},
        {R"({"ecus": []})", "ecus: expected a non-empty array"},
        {R"({"ecus": [{}], "extra": 1})", "extra: unknown field"},
        {R"({"obd": "kwp", "ecus": [{}]})", "obd: expected \"classic\" or \"uds\""},
        {one(R"("dtcs": {"stored": ["P0301-1G"]})"), "ecus[0].dtcs.stored[0]: expected a failure type"},
        {R"({"ecus": [{"addressing": "12-bit"}]})", "ecus[0].addressing: expected \"11-bit\" or \"29-bit\""},
        {R"({"ecus": [{"addressing": 11}]})", "ecus[0].addressing:"},
        {one(R"("response_id": "0x800")"), "ecus[0].response_id:"},
        {one(R"("response_id": "0x7E0")"),
         "ecus[0].response_id: an 11-bit OBD ECU answers from 0x7E8 to 0x7EF"},
        {R"({"ecus": [{"addressing": "29-bit", "response_id": "18DAF210"}]})",
         "ecus[0].response_id: a 29-bit"},
        {one(R"("response_id": 2024.5)"), "ecus[0].response_id: expected an 11-bit identifier"},
        {one(R"("pidz": {})"), "ecus[0].pidz: unknown field"},
        {one(R"("pending": [{"count": 1}])"), "ecus[0].pending[0].service: missing"},
        {one(R"("pending": [{"service": "07", "ms": -1}])"), "ecus[0].pending[0].ms:"},
        {one(R"("pending": {"service": "07"})"), "ecus[0].pending: expected an array"},
        {one(R"("pids": {"0C": "1G"})"), "ecus[0].pids.0C: expected hex bytes"},
        {one(R"("pids": {"100": "01"})"), "ecus[0].pids.100: a PID key is one hex byte"},
        {one(R"("pids": {"0C": [1, 256]})"), "ecus[0].pids.0C[1]: expected a byte"},
        {one(R"("pids": {"0C": "01", "0C": "02"})"), "ecus[0].pids.0C: given twice"},
        {one(R"("pids": [1, 2])"), "ecus[0].pids: expected an object"},
        {one(R"("dtcs": {"stored": ["X0301"]})"),
         "ecus[0].dtcs.stored[0]: expected a code such as \"P0301\""},
        {one(R"("dtcs": {"stored": ["P4301"]})"), "ecus[0].dtcs.stored[0]:"},
        {one(R"("dtcs": {"stored": "P0301"})"), "ecus[0].dtcs.stored: expected an array"},
        {one(R"("dtcs": {"pending": [70000]})"), "ecus[0].dtcs.pending[0]:"},
        {one(R"("dtcs": {"temporary": []})"), "ecus[0].dtcs.temporary: unknown field"},
        {one(R"("latency_ms": -1)"), "ecus[0].latency_ms: expected milliseconds"},
        {one(R"("cf_gap_ms": "5")"), "ecus[0].cf_gap_ms: expected milliseconds"},
        {one(R"("clear": {"busy": "two"})"), "ecus[0].clear.busy:"},
        {one(R"("clear": {"nrc": 300})"), "ecus[0].clear.nrc:"},
        {one(R"("negative": [{"param": "0D", "nrc": "31"}])"), "ecus[0].negative[0].service: missing"},
        {one(R"("negative": [{"service": "01", "nrc": 0}])"), "ecus[0].negative[0].nrc: 0 is not"},
        {one(R"("vin": "ABC\u0001")"), "ecus[0].vin: only printable"},
        {one(R"("vin": "")"), "ecus[0].vin: must not be empty"},
        {one(R"("ecu_name": "A-NAME-OF-MORE-THAN-20")"), "ecus[0].ecu_name: longer than 20"},
        {one(R"("cvn": "12AB3")"), "ecus[0].cvn: expected hex bytes"},
        {one(R"("silent": "yes")"), "ecus[0].silent: expected true or false"},
        {one(R"("awaits_flow_control": 0)"), "ecus[0].awaits_flow_control: expected true or false"},
        {one(R"("vin": "A", "vin": "B")"), "ecus[0].vin: given twice"},
        {R"({"ecus": [{"addressing": "11-bit"}, {"addressing": "11-bit", "response_id": "7E8"}]})",
         "ecus[1].response_id: 0x7E8 is already used by ecus[0]"},
        {R"({"ecus": [{"addressing": "11-bit"}], "chatter": ["7E0"]})", "chatter[0]: expected a frame"},
        {one(R"("monitors": {"complete": ["PM"]})"),
         "ecus[0].monitors.complete[0]: expected a monitor of spark"},
        {one(R"("monitors": {"complete": ["CAT"], "incomplete": ["CAT"]})"),
         "ecus[0].monitors.incomplete[0]: CAT is named twice"},
        {one(R"("pids": {"01": "00 00 00 00"}, "monitors": {})"),
         "ecus[0].monitors: give the monitor status either"},
        {one(R"("freeze_frame": {"pids": {"0C": "01"}})"),
         "ecus[0].freeze_frame.pids: a frame without its code"},
    };
    for (const auto &[text, want] : cases) {
        SCOPED_TRACE(text);
        Result r = check_text(text);
        EXPECT_EQ(r.status, 2);
        EXPECT_THAT(r.err, ::testing::StartsWith("obd-vehicle-sim: " + dir_ + "/v.json: " + want));
    }
}

TEST_F(VehicleFile, MissingFileAndBadUsageAreRefused)
{
    Result r = check(dir_ + "/none.json");
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, ::testing::HasSubstr("none.json: cannot open the vehicle file"));

    ToolProcess both({sim_path_, "--vehicle", source("tools/vehicles/petrol_11bit.json"), "--bus", "/tmp/x",
                      "--can", "vcan0"});
    EXPECT_EQ(both.wait(kRunMs), 2);
    EXPECT_THAT(both.err(), ::testing::HasSubstr("give exactly one of --bus PATH and --can IFACE"));
}

} // namespace
