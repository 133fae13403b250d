// The ECU information file: exact format, reset, comparison, failed writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/atomic_file.h"
#include "support/capture.h"
#include "th_obd2_com/ecu_info_file.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/pid_probe.h"
#include "th_obd2_com/vehicle_info.h"
#include "scripted_answers.h"
#include "vehicle_sim.h"

namespace
{

const char *const kLiveKeys[] = {
    "ENGLD",   "COLTMP", "FULPRS", "INTPRS",   "ENGRPM",  "SPD",     "TMADV",   "INTTMP", "MSFLRT", "THRTPS",
    "FULRPRS", "FLLVL",  "THRPSB", "CNTMDVOL", "AMBTMP",  "O2S1",    "O2S2",    "O2S3",   "O2S4",   "O2S5",
    "O2S6",    "O2S7",   "O2S8",   "FRLDSL",   "CMDEGR",  "EGRE",    "EVAPPRG", "WRMUPC", "DISCLR", "CTB1S1",
    "CTB2S1",  "CTB1S2", "CTB2S2", "LMBRAT",   "RELTHR",  "THRPSB2", "THRPSC",  "THRPSD", "THRPSE", "THRPSF",
    "CMDTHR",  "TMIL",   "TCLR",   "STFT1",    "LTFT1",   "STFT2",   "LTFT2",   "DISMIL", "EVPPRS", "ABSLOD",
    "OILTEMP", "INJTIM", "FULRAT", "DDTORQ",   "ACTTORQ", "REFTORQ"};

// The text the formatted printer produces: tabs for indentation and after each
// colon, no newline after the last brace.
std::string expected_file(const std::string &vid, const std::string &cid, const std::string &cvn,
                          const std::string &ecunm, const std::string &proto, int br,
                          const std::vector<int> &flags)
{
    std::string s = "{\n\t\"ECU_INFO\":\t{\n";
    s += "\t\t\"VID\":\t\"" + vid + "\",\n";
    s += "\t\t\"CID\":\t\"" + cid + "\",\n";
    s += "\t\t\"CVN\":\t\"" + cvn + "\",\n";
    s += "\t\t\"ECUNM\":\t\"" + ecunm + "\",\n";
    s += "\t\t\"PROTO\":\t\"" + proto + "\",\n";
    s += "\t\t\"BR\":\t" + std::to_string(br) + "\n";
    s += "\t},\n\t\"LIVE_PIDS\":\t{\n";
    for (size_t i = 0; i < std::size(kLiveKeys); ++i) {
        s += "\t\t\"" + std::string(kLiveKeys[i]) + "\":\t" + std::to_string(flags[i]);
        s += i + 1 < std::size(kLiveKeys) ? ",\n" : "\n";
    }
    s += "\t}\n}";
    return s;
}

std::vector<int> reset_flags()
{
    std::vector<int> f(56, 0);
    std::fill(f.begin(), f.begin() + 5, 1);
    return f;
}

void set_records(std::initializer_list<std::pair<uint8_t, const char *>> records)
{
    g_vehicle_info_count = 0;
    for (const auto &[type, text] : records) {
        g_vehicle_info[g_vehicle_info_count].info_type = type;
        std::snprintf(g_vehicle_info[g_vehicle_info_count].text, sizeof g_vehicle_info[0].text, "%s", text);
        ++g_vehicle_info_count;
    }
}

class EcuInfoFile : public testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/ecuinfo-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/ecu_info.json";
        ecu_info_test_set_path(path_.c_str());
        std::fill(std::begin(g_pid_availability), std::end(g_pid_availability), 7);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string file()
    {
        std::string s;
        EXPECT_TRUE(gw_read_file(path_.c_str(), s));
        return s;
    }
    void write(const std::string &text)
    {
        ASSERT_TRUE(gw_write_file_atomic(path_.c_str(), text.data(), text.size()));
    }
    ino_t inode()
    {
        struct stat st = {};
        EXPECT_EQ(stat(path_.c_str(), &st), 0);
        return st.st_ino;
    }

    std::string dir_;
    std::string path_;
};

TEST_F(EcuInfoFile, ResetAtStartUpWritesDefaults)
{
    // Left under the temporary name: a link to another user's file. It is not
    // written through, nor does it lend the new file its owner.
    const std::string theirs = dir_ + "/theirs";
    ASSERT_TRUE(gw_write_file_atomic(theirs.c_str(), "x", 1));
    ASSERT_EQ(chown(theirs.c_str(), 1000, 1000) | symlink(theirs.c_str(), (path_ + ".tmp").c_str()), 0);
    TraceCapture trace;
    EXPECT_EQ(reset_supported_pid(), 1);
    EXPECT_EQ(file(), expected_file("N/A", "N/A", "N/A", "N/A", "UNKNOWN", 0, reset_flags()));
    struct stat st = {};
    EXPECT_TRUE(lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid());
    EXPECT_EQ(std::filesystem::file_size(theirs), 1u);
    for (int i = 0; i < PID_AVAILABILITY_SIZE; ++i) {
        EXPECT_EQ(g_pid_availability[i], i < 5 ? 1 : 0) << i;
    }
    EXPECT_STREQ(g_can_protocol, "UNKNOWN");
    EXPECT_EQ(trace.count_line("OBD2_INFO : RESETING SUPPORTED PID CONFIG FILE"), 1);
    EXPECT_EQ(trace.count_line("OBD2_INFO : ECU info saved to " + path_), 1);
}

TEST_F(EcuInfoFile, LaterResetKeepsVehicleTextsAndWritesConfiguredBitrate)
{
    set_records({{0x02, "1HGCM82633A004352"}, {0x04, "CAL123"}, {0x06, "0112AB34CD"}, {0x0A, "ECM-Engine"}});
    g_can_bitrate = 500000;
    EXPECT_EQ(reset_supported_pid(), 1);
    EXPECT_EQ(file(), expected_file("1HGCM82633A004352", "CAL123", "0112AB34CD", "ECM-Engine", "UNKNOWN",
                                    500000, reset_flags()));
}

TEST_F(EcuInfoFile, SaveAfterFullIdentification)
{
    set_records({{0x02, "WVWZZZ1JZXW000001"}, {0x04, "CID"}, {0x06, "0112AB34CD"}, {0x0A, "ENGINE"}});
    std::snprintf(g_can_protocol, sizeof g_can_protocol, "ISO15765-4 (29-bit)");
    g_can_bitrate = 250000;
    std::vector<int> flags(56, 0);
    for (int i : {1, 4, 5, 55}) {
        flags[i] = 1;
    }
    std::fill(std::begin(g_pid_availability), std::end(g_pid_availability), 0);
    std::copy(flags.begin(), flags.end(), g_pid_availability);
    g_pid_availability[56] = 1; // beyond the catalogue: never stored
    EXPECT_EQ(save_ecu_info_json(), 1);
    EXPECT_EQ(file(), expected_file("WVWZZZ1JZXW000001", "CID", "0112AB34CD", "ENGINE", "ISO15765-4 (29-bit)",
                                    250000, flags));
}

TEST_F(EcuInfoFile, VehicleTextsAreWrittenAsValidJson)
{
    // Bytes 0x7F and above inside a read text would make the file invalid UTF-8.
    vsim::EcuModel ecu;
    ecu.vin = "WVWZZ\x7F"
              "1JZXW0000\xFF"
              "1";
    ecu.calid = "CAL\xFE";
    ecu.cvn = {0x12, 0xAB, 0x34, 0xCD};
    ecu.ecu_name = "ECM\xE9\"Q";
    vsim::InProcessBus bus(vehicle_of({ecu}));
    bus.attach();
    g_can_padding = 0xAA;
    ASSERT_EQ(get_vehicle_info(1), 1);
    std::fill(std::begin(g_pid_availability), std::end(g_pid_availability), 0);
    EXPECT_EQ(save_ecu_info_json(), 1);
    EXPECT_EQ(file(), expected_file("WVWZZ?1JZXW0000?1", "CAL?", "0112AB34CD", "ECM?\\\"Q", "N/A", 0,
                                    std::vector<int>(56, 0)));
}

TEST_F(EcuInfoFile, LastNonEmptyRecordWinsAndDefaultsStay)
{
    set_records({{0x02, "FIRSTVIN"}, {0x02, "SECONDVIN"}, {0x02, ""}, {0x0B, "IGNORED"}, {0x0A, ""}});
    g_can_bitrate = -1;
    std::fill(std::begin(g_pid_availability), std::end(g_pid_availability), 0);
    EXPECT_EQ(save_ecu_info_json(), 1);
    EXPECT_EQ(file(), expected_file("SECONDVIN", "N/A", "N/A", "N/A", "N/A", 0, std::vector<int>(56, 0)));
}

TEST_F(EcuInfoFile, IdenticalContentsAreNotRewritten)
{
    ASSERT_EQ(reset_supported_pid(), 1);
    const ino_t first = inode();
    TraceCapture trace;
    ASSERT_EQ(reset_supported_pid(), 1);
    // A replacement would have renamed a new file over the old one.
    EXPECT_EQ(inode(), first);
    EXPECT_EQ(trace.count_line("OBD2_INFO : ECU info saved to " + path_), 1);

    g_can_bitrate = 500000;
    ASSERT_EQ(reset_supported_pid(), 1);
    EXPECT_NE(inode(), first);
    EXPECT_NE(file().find("\"BR\":\t500000"), std::string::npos);
    EXPECT_NE(access((path_ + ".tmp").c_str(), F_OK), 0) << "temporary file left behind";
}

TEST_F(EcuInfoFile, OtherContentsAreReplaced)
{
    write("{\"ECU_INFO\":{}}");
    ASSERT_EQ(reset_supported_pid(), 1);
    EXPECT_EQ(file(), expected_file("N/A", "N/A", "N/A", "N/A", "UNKNOWN", 0, reset_flags()));
}

TEST_F(EcuInfoFile, UnwritableFolderIsReportedAndIgnored)
{
    const std::string blocker = dir_ + "/not_a_dir";
    ASSERT_TRUE(gw_write_file_atomic(blocker.c_str(), "x", 1));
    const std::string bad = blocker + "/ecu_info.json";
    ecu_info_test_set_path(bad.c_str());
    TraceCapture trace;
    EXPECT_EQ(save_ecu_info_json(), 1);
    EXPECT_EQ(reset_supported_pid(), 1);
    EXPECT_EQ(trace.count_line("OBD2_ERROR : Failed to open file: " + bad), 2);
    EXPECT_EQ(trace.count_containing("Error while creating ecu information packet"), 0);
}

TEST_F(EcuInfoFile, FailedWriteLeavesThePreviousFileWhole)
{
    const std::string mnt = dir_ + "/ro";
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    struct Unmount {
        std::string at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{mnt};
    path_ = mnt + "/ecu_info.json";
    const std::string old_text = "{\"ECU_INFO\":{\"VID\":\"OLD\"}}";
    write(old_text);
    ASSERT_EQ(mount(nullptr, mnt.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    ecu_info_test_set_path(path_.c_str());
    TraceCapture trace;
    EXPECT_EQ(reset_supported_pid(), 1);
    EXPECT_EQ(trace.count_line("OBD2_ERROR : Failed to open file: " + path_), 1);
    EXPECT_EQ(file(), old_text);
}

TEST_F(EcuInfoFile, ComparisonDecidesWhetherTheProbeRuns)
{
    const char *match = "OBD2_INFO : ECU info matches saved file. Skipping PID scan and JSON update.";
    const char *mismatch = "OBD2_INFO : ECU info mismatch or new vehicle. Proceeding with full scan.";
    const char *unparsed = "OBD2_ERROR : Failed to parse ecu_info.json. Forcing full scan.";
    const char *no_info = "OBD2_ERROR : ECU_INFO key missing in ecu_info.json. Forcing full scan.";
    struct Case {
        const char *what;
        const char *saved; // null: no file
        int expected;
        const char *message;
    };
    const std::vector<Case> cases = {
        {"same vehicle", R"({"ECU_INFO":{"VID":"VIN0123456789ABCD","CID":"CAL-1","CVN":"0112AB34CD"}})", 1,
         match},
        {"keys in another case",
         R"({"ecu_info":{"vid":"VIN0123456789ABCD","Cid":"CAL-1","cvn":"0112AB34CD"}})", 1, match},
        {"other VIN", R"({"ECU_INFO":{"VID":"VIN0123456789ABCE","CID":"CAL-1","CVN":"0112AB34CD"}})", 0,
         mismatch},
        {"VID in another letter case",
         R"({"ECU_INFO":{"VID":"vin0123456789abcd","CID":"CAL-1","CVN":"0112AB34CD"}})", 0, mismatch},
        {"VID a number", R"({"ECU_INFO":{"VID":12345,"CID":"CAL-1","CVN":"0112AB34CD"}})", 0, mismatch},
        {"CVN missing", R"({"ECU_INFO":{"VID":"VIN0123456789ABCD","CID":"CAL-1"}})", 0, mismatch},
        {"no such file", nullptr, 0, "OBD2_INFO : No existing ecu_info.json found. Forcing full scan."},
        {"garbled file", "{\"ECU_INFO\":{\"VID\":\"VIN01", 0, unparsed},
        {"empty file", "", 0, unparsed},
        {"no ECU_INFO", R"({"LIVE_PIDS":{"ENGLD":1}})", 0, no_info},
        {"top level array", R"([{"ECU_INFO":{}}])", 0, no_info},
    };
    set_records({{0x02, "VIN0123456789ABCD"}, {0x04, "CAL-1"}, {0x06, "0112AB34CD"}, {0x0A, "ECM"}});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(path_);
        if (c.saved != nullptr) {
            write(c.saved);
        }
        TraceCapture trace;
        EXPECT_EQ(compare_vehicle_info_with_saved(), c.expected);
        EXPECT_EQ(trace.count_line(c.message), 1) << trace.text();
    }
}

TEST_F(EcuInfoFile, VehicleWithoutCvnNeverMatches)
{
    set_records({{0x02, "VIN0123456789ABCD"}, {0x04, "CAL-1"}});
    ASSERT_EQ(save_ecu_info_json(), 1);
    TraceCapture trace;
    EXPECT_EQ(compare_vehicle_info_with_saved(), 0);
    EXPECT_EQ(trace.count_line("  CVN : saved='N/A'  new=''"), 1);
}

TEST_F(EcuInfoFile, VehicleBackAfterResetMatches)
{
    set_records({{0x02, "VIN0123456789ABCD"}, {0x04, "CAL-1"}, {0x06, "0112AB34CD"}});
    ASSERT_EQ(save_ecu_info_json(), 1);
    ASSERT_EQ(reset_supported_pid(), 1); // the vehicle is lost
    TraceCapture trace;
    EXPECT_EQ(compare_vehicle_info_with_saved(), 1);
    EXPECT_EQ(trace.count_line("OBD2_INFO : Comparing ECU info..."), 1);
    EXPECT_EQ(trace.count_line("  VID : saved='VIN0123456789ABCD'  new='VIN0123456789ABCD'"), 1);
}

} // namespace
