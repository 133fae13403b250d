// The configuration file: parsing rules, the configuration step with the
// factory copy, "WRNGCFG" and the bring-up commands.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "common/atomic_file.h"
#include "common/gw_time.h"
#include "support/capture.h"
#include "support/test_clock.h"
#include "support/worker_env.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/obd2_config.h"
#include "tool_process.h"

namespace
{

std::vector<std::string> g_commands;

const char *kWrongConfig = R"({"TYP":1,"CMD":0,"ERROR":1,"DATA":{"msg":"WRNGCFG"}})";
const std::string kFactory = R"({"can_port":{"BR":500000,"padding":170}})"; // a usable factory copy

class Config : public ::testing::Test
{
  protected:
    FakeClock clock_;
    void SetUp() override
    {
        char tmpl[] = "/tmp/obdgw-config-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        cfg_ = dir_ + "/config.json";
        factory_ = dir_ + "/default_config.json";
        config_test_set_paths(cfg_.c_str(), factory_.c_str());
        g_commands.clear();
        can_test_set_shell_runner([](const char *cmd) {
            g_commands.emplace_back(cmd);
            return 0;
        });
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf " + dir_).c_str()), 0); }

    void write(const std::string &path, const std::string &text)
    {
        ASSERT_TRUE(gw_write_file_atomic(path.c_str(), text.data(), text.size()));
    }
    // nullptr: no such file.
    void put(const std::string &path, const char *text)
    {
        unlink(path.c_str());
        if (text) {
            write(path, text);
        }
    }
    int parse(const std::string &text)
    {
        write(cfg_, text);
        return parse_config_json(cfg_.c_str());
    }
    std::string read(const std::string &path)
    {
        std::string s;
        return gw_read_file(path.c_str(), s) ? s : "<missing>";
    }
    std::vector<std::string> sensors() const
    {
        return {&g_live_sensor_names[0], &g_live_sensor_names[0] + g_live_sensor_count};
    }
    std::vector<std::string> groups() const { return {&g_dtc_names[0], &g_dtc_names[0] + g_dtc_count}; }

    PublishRecorder published_;
    std::string dir_, cfg_, factory_;
};

} // namespace

TEST_F(Config, CanPortKeysAndNumbers)
{
    struct Case {
        const char *json;
        int bitrate;
        int padding;
    };
    const Case cases[] = {
        {R"({"can_port":{"BR":500000,"padding":170}})", 500000, 170},
        {R"({"CAN_PORT":{"br":250000,"PADDING":85}})", 250000, 85},
        {R"({"Can_Port":{"bR":125000,"Padding":0}})", 125000, 0},
        {R"({"can_port":{"BR":500000.9,"padding":170.7}})", 500000, 170},
        {R"({"can_port":{"BR":1e12,"padding":-1e12}})", INT_MAX, INT_MIN},
        {R"({"can_port":{"BR":-5,"padding":-1}})", -5, -1},
        // The first of two equal keys counts.
        {R"({"can_port":{"BR":250000,"br":500000}})", 250000, 7},
        // Wrong types keep what was there before.
        {R"({"can_port":{"BR":"500000","padding":true}})", 11, 7},
        {R"({"can_port":[500000]})", 11, 7},
        {R"({"other":1})", 11, 7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.json);
        g_can_bitrate = 11;
        g_can_padding = 7;
        ASSERT_EQ(parse(c.json), 1);
        EXPECT_EQ(g_can_bitrate, c.bitrate);
        EXPECT_EQ(g_can_padding, c.padding);
    }
}

TEST_F(Config, SensorsAreKeptWhenShownIsTheNumberOne)
{
    struct Case {
        const char *json;
        std::vector<std::string> expect;
    };
    const Case cases[] = {
        {R"({"live_page":{"sensors":[{"name":"ENGRPM","show":1},{"name":"SPD","show":0},{"name":"COLTMP","show":1}]}})",
         {"ENGRPM", "COLTMP"}},
        {R"({"live_page":{"sensors":[{"name":"A","show":1.5},{"name":"B","show":true},{"name":"C","show":"1"},
            {"name":"D"},{"show":1},{"name":5,"show":1},{"name":"E","show":2},{"NAME":"F","SHOW":1}, 7, null]}})",
         {"A", "F"}},
        {R"({"LIVE_PAGE":{"Sensors":[{"name":"ENGLD","show":1}]}})", {"ENGLD"}},
        {R"({"live_page":{"sensors":{"name":"ENGLD","show":1}}})", {}},
        {R"({"live_page":[{"name":"ENGLD","show":1}]})", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.json);
        g_live_sensor_count = 5;
        ASSERT_EQ(parse(c.json), 1);
        EXPECT_EQ(sensors(), c.expect);
    }
}

TEST_F(Config, ListsStopAtTheirSizeLimits)
{
    std::string many = R"({"live_page":{"sensors":[)";
    for (int i = 0; i < 100; ++i) {
        many += (i ? "," : "") + std::string(R"({"name":"S)") + std::to_string(i) + R"(","show":1})";
    }
    ASSERT_EQ(parse(many + "]}}"), 1);
    ASSERT_EQ(g_live_sensor_count, CFG_MAX_LIVE_SENSORS);
    EXPECT_STREQ(g_live_sensor_names[86], "S86");

    std::string long_name(70, 'x');
    ASSERT_EQ(parse(R"({"live_page":{"sensors":[{"name":")" + long_name + R"(","show":1}]}})"), 1);
    ASSERT_EQ(g_live_sensor_count, 1);
    EXPECT_EQ(std::string(g_live_sensor_names[0]), long_name.substr(0, 63));

    ASSERT_EQ(parse(R"({"show_dtc":{"STRDTC":1,"XX":0,"PNDDTC":1.2,"PRMDTC":1,"FOURTH":1}})"), 1);
    EXPECT_EQ(groups(), (std::vector<std::string>{"STRDTC", "PNDDTC", "PRMDTC"}));

    ASSERT_EQ(parse(R"({"show_dtc":{")" + long_name + R"(":1,"B":"1","C":true}})"), 1);
    EXPECT_EQ(groups(), (std::vector<std::string>{long_name.substr(0, 63)}));
}

TEST_F(Config, ReloadWithoutSectionsEmptiesListsButKeepsCanSettings)
{
    ASSERT_EQ(
        parse(R"({"can_port":{"BR":500000,"padding":170},"live_page":{"sensors":[{"name":"SPD","show":1}]},
                       "show_dtc":{"STRDTC":1}})"),
        1);
    ASSERT_EQ(g_live_sensor_count, 1);
    ASSERT_EQ(g_dtc_count, 1);
    ASSERT_EQ(parse(R"({"unrelated":true})"), 1);
    EXPECT_EQ(g_live_sensor_count, 0);
    EXPECT_EQ(g_dtc_count, 0);
    EXPECT_EQ(g_can_bitrate, 500000);
    EXPECT_EQ(g_can_padding, 170);
}

TEST_F(Config, UnreadableFilesChangeNothing)
{
    g_can_bitrate = 500000;
    g_live_sensor_count = 2;
    g_dtc_count = 1;
    TraceCapture trace;
    EXPECT_EQ(parse_config_json((dir_ + "/absent.json").c_str()), 0);
    EXPECT_EQ(parse_config_json(dir_.c_str()), 0); // a folder opens but cannot be read
    // Each failure names the file on the line before it.
    const std::vector<std::string> lines = trace.lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(
        std::vector<std::string>(lines.begin(), lines.begin() + 4),
        (std::vector<std::string>{"OBD2_ERROR : Cannot read configuration file " + dir_ + "/absent.json",
                                  "File open failed: No such file or directory",
                                  "OBD2_ERROR : Cannot read configuration file " + dir_,
                                  "File open failed: Is a directory"}));
    write(cfg_, "{" + std::string(2u << 20, ' ') + "}");
    EXPECT_EQ(parse_config_json(cfg_.c_str()), 0);
    for (const char *bad : {"", "{", "{\"can_port\":{\"BR\":250000}", "not json"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(parse(bad), 0);
    }
    EXPECT_EQ(trace.count_line("Error: JSON parse failed"), 4);
    EXPECT_EQ(g_can_bitrate, 500000);
    EXPECT_EQ(g_live_sensor_count, 2);
    EXPECT_EQ(g_dtc_count, 1);
}

TEST_F(Config, StandardBitratesReachTheInterface)
{
    for (int br : {10000, 20000, 50000, 100000, 125000, 250000, 500000, 800000, 1000000}) {
        SCOPED_TRACE(br);
        write(cfg_, R"({"can_port":{"BR":)" + std::to_string(br) + "}}");
        g_commands.clear();
        EXPECT_EQ(obd2_config_step(), 1);
        ASSERT_EQ(g_commands.size(), 3u);
        EXPECT_EQ(g_commands[1], "sudo ip link set can0 up type can bitrate " + std::to_string(br));
    }
}

TEST_F(Config, StepWithGoodFileBringsUpCan0)
{
    write(cfg_, R"({"can_port":{"BR":250000,"padding":85},"live_page":{"sensors":[{"name":"SPD","show":1}]},
                    "show_dtc":{"PNDDTC":1}})");
    TraceCapture trace;
    EXPECT_EQ(obd2_config_step(), 1);
    EXPECT_EQ(g_commands, (std::vector<std::string>{"sudo ip link set can0 down",
                                                    "sudo ip link set can0 up type can bitrate 250000",
                                                    "sudo ip link set can0 up"}));
    EXPECT_TRUE(published_.packets().empty());
    EXPECT_THAT(trace.text(), testing::HasSubstr(
                                  "=== CAN Config ===\nPadding: 85\nBitrate: 250000\n\n=== Live Sensors ===\n"
                                  "Sensor 1: SPD\n\n=== DTC Names ===\nDTC 1: PNDDTC\n"));
}

TEST_F(Config, MissingFileIsRestoredFromFactoryCopyAndUsedNextPass)
{
    write(factory_, kFactory);
    TraceCapture trace;
    int64_t t0 = gw_monotonic_us();
    EXPECT_EQ(obd2_config_step(), 0);
    EXPECT_EQ(gw_monotonic_us() - t0, CONFIG_SECOND_READ_PAUSE_US + CONFIG_RETRY_PAUSE_US);
    EXPECT_EQ(read(cfg_), kFactory);
    EXPECT_EQ(trace.count_line("OBD2_ERROR : Error while parsing json."), 1);
    EXPECT_EQ(trace.count_line("Default config restored successfully."), 1);
    EXPECT_EQ(published_.packets(), (std::vector<std::string>{kWrongConfig}));
    EXPECT_TRUE(g_commands.empty());
    EXPECT_EQ(access((cfg_ + ".tmp").c_str(), F_OK), -1);

    EXPECT_EQ(obd2_config_step(), 1);
    EXPECT_EQ(g_can_bitrate, 500000);
    EXPECT_EQ(g_commands.size(), 3u);
}

TEST_F(Config, UnusableFactoryCopyIsWrittenOnceNotOnEveryPass)
{
    write(factory_, "{broken");
    struct stat first = {};
    for (int pass = 0; pass < 4; ++pass) {
        SCOPED_TRACE(pass);
        TraceCapture trace;
        EXPECT_EQ(obd2_config_step(), 0);
        trace.stop();
        EXPECT_EQ(trace.count_line("Default config restored successfully."), 1);
        struct stat now = {};
        ASSERT_EQ(stat(cfg_.c_str(), &now), 0);
        if (pass == 0) {
            first = now;
        }
        // A rewrite renames a new file over it: another inode and time.
        EXPECT_EQ(now.st_ino, first.st_ino);
        EXPECT_EQ(now.st_mtim.tv_nsec, first.st_mtim.tv_nsec);
    }
    EXPECT_EQ(read(cfg_), "{broken");
}

TEST_F(Config, MissingFactoryCopyLeavesTheFileAsItWas)
{
    const char *const files[] = {nullptr, "{broken", ""}; // nullptr: no file
    for (const char *file : files) {
        SCOPED_TRACE(file ? "'" + std::string(file) + "'" : "no file");
        put(cfg_, file);
        published_.clear();
        TraceCapture trace;
        EXPECT_EQ(obd2_config_step(), 0);
        EXPECT_EQ(trace.count_line("OBD2_ERROR : Failed to restore default config file!"), 1);
        EXPECT_EQ(read(cfg_), file ? file : "<missing>");
        EXPECT_EQ(published_.packets(), (std::vector<std::string>{kWrongConfig}));
    }
}

TEST_F(Config, UserFileIsKeptAsBadBeforeTheFactoryCopyReplacesIt)
{
    const std::string bad = cfg_ + ".bad";
    const std::string kept_line = "OBD2_INFO : Unusable configuration kept as " + bad;
    const std::string huge = "{" + std::string(3u << 20, ' '); // over the size limit
    struct Case {
        const char *name;
        const char *config;      // nullptr: no config.json
        const char *kept_before; // nullptr: no config.json.bad
        const char *factory;     // nullptr: no factory copy
        std::string kept_after;
        std::string config_after;
    };
    const Case cases[] = {
        {"typo", R"({"can_port":{"BR":250000,})", nullptr, kFactory.c_str(), R"({"can_port":{"BR":250000,})",
         kFactory},
        {"the latest is kept", "{broken", "{older", kFactory.c_str(), "{broken", kFactory},
        {"same as kept", "{broken", "{broken", kFactory.c_str(), "{broken", kFactory},
        {"no file", nullptr, "{older", kFactory.c_str(), "{older", kFactory},
        // Nothing replaces the file: nothing to keep.
        {"no factory copy", "{broken", "{older", nullptr, "{older", "{broken"},
        // A broken factory copy restored earlier is not the user's file.
        {"file is the factory copy", "{factory", "{older", "{factory", "{older", "{factory"},
        {"too large to be read as a configuration", huge.c_str(), nullptr, kFactory.c_str(), huge, kFactory},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        put(cfg_, c.config);
        put(bad, c.kept_before);
        put(factory_, c.factory);
        TraceCapture trace;
        EXPECT_EQ(obd2_config_step(), 0);
        const std::string kept_after = read(bad);
        EXPECT_EQ(kept_after.size(), c.kept_after.size());
        EXPECT_TRUE(kept_after == c.kept_after) << kept_after.substr(0, 40);
        EXPECT_EQ(read(cfg_), c.config_after);
        const bool kept = c.config && c.factory && std::string(c.config) != c.factory;
        EXPECT_EQ(trace.count_line(kept_line), kept ? 1 : 0);
        EXPECT_EQ(access((bad + ".tmp").c_str(), F_OK), -1);
    }

    // A copy that cannot be kept leaves the user's file where it is.
    unlink(bad.c_str());
    ASSERT_EQ(mkdir(bad.c_str(), 0755), 0);
    write(cfg_, "{broken");
    TraceCapture trace;
    EXPECT_EQ(obd2_config_step(), 0);
    EXPECT_EQ(read(cfg_), "{broken");
    EXPECT_EQ(trace.count_containing("OBD2_ERROR : Failed to keep the unusable configuration as " + bad), 1);
    EXPECT_EQ(trace.count_line("OBD2_ERROR : Failed to restore default config file!"), 1);
}

TEST_F(Config, ReplacedFileKeepsItsOwnerPermissionsAndLink)
{
    // The UI's file, behind a link, owned by the UI's user and writable by its group.
    const std::string ui_dir = dir_ + "/ui";
    const std::string target = ui_dir + "/config.json";
    ASSERT_EQ(mkdir(ui_dir.c_str(), 0755), 0);
    write(target, "{broken");
    ASSERT_EQ(chown(target.c_str(), 1000, 1000), 0);
    ASSERT_EQ(chmod(target.c_str(), 0664), 0);
    ASSERT_EQ(symlink("ui/config.json", cfg_.c_str()), 0);
    write(factory_, kFactory);
    TraceCapture trace;
    EXPECT_EQ(obd2_config_step(), 0);
    EXPECT_EQ(read(target), kFactory);
    struct stat st = {};
    ASSERT_EQ(lstat(cfg_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a plain file";
    for (const std::string &path : {target, cfg_ + ".bad"}) {
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(std::make_tuple(st.st_uid, st.st_gid, st.st_mode & 07777),
                  std::make_tuple(1000u, 1000u, 0664u))
            << path;
    }
    EXPECT_EQ(read(cfg_ + ".bad"), "{broken");
}

// A file that cannot be used is read again a moment later: only the same
// unusable bytes twice make it unusable, so a file caught while the UI writes
// it, or a parse that ran out of memory, never replaces a good file.
TEST_F(Config, FileIsJudgedUnusableOnlyWhenASecondReadGivesTheSameBytes)
{
    static std::string s_path;
    static std::vector<std::string> s_later; // what the file holds at the second, third, ... read
    static int s_reads;
    static int s_failing_allocs;
    s_path = cfg_;
    gw_test_set_read_hook([](const char *path) {
        if (s_path == path && s_reads++ > 0 && static_cast<size_t>(s_reads - 2) < s_later.size()) {
            const std::string &text = s_later[static_cast<size_t>(s_reads - 2)];
            gw_write_file_atomic(path, text.data(), text.size());
        }
    });
    cJSON_Hooks hooks{[](size_t n) { return s_failing_allocs-- > 0 ? nullptr : malloc(n); }, free};
    const std::string good = R"({"can_port":{"BR":250000,"padding":85}})";
    struct Case {
        const char *name;
        std::string first;
        std::vector<std::string> later;
        int failing_allocs;
        int result;
        std::string after;
    };
    const Case cases[] = {
        {"caught half written", good.substr(0, 20), {good}, 0, 1, good},
        {"still being written", "{", {"{\"can", "{\"can_port\""}, 0, 0, "{\"can"},
        {"no memory to parse it", good, {}, 1, 1, good},
        {"unusable twice", "{broken", {}, 0, 0, kFactory},
    };
    write(factory_, kFactory);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write(cfg_, c.first);
        s_later = c.later;
        s_reads = 0;
        s_failing_allocs = c.failing_allocs;
        cJSON_InitHooks(&hooks);
        published_.clear();
        g_can_bitrate = 0;
        TraceCapture trace;
        const int result = obd2_config_step();
        trace.stop();
        cJSON_InitHooks(nullptr);
        s_later.clear();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(read(cfg_), c.after);
        EXPECT_EQ(published_.packets().size(), c.after == kFactory ? 1u : 0u); // WRNGCFG only when replaced
        EXPECT_EQ(g_can_bitrate, c.result == 1 ? 250000 : 0);
    }
    gw_test_set_read_hook(nullptr);
}

TEST_F(Config, BadBitrateIsReportedWithoutRestoringAndRetriedAboutOncePerSecond)
{
    write(factory_, R"({"can_port":{"BR":500000}})");
    // Only the standard CAN rates reach `ip link`.
    for (const char *json :
         {R"({"live_page":{}})", R"({"can_port":{"BR":0}})", R"({"can_port":{"BR":-250000}})",
          R"({"can_port":{"BR":12345}})", R"({"can_port":{"BR":9999}})", R"({"can_port":{"BR":499999}})",
          R"({"can_port":{"BR":1000001}})", R"({"can_port":{"BR":1e12}})"}) {
        SCOPED_TRACE(json);
        g_can_bitrate = 0;
        write(cfg_, json);
        published_.clear();
        TraceCapture trace;
        const int64_t t0 = gw_monotonic_us();
        EXPECT_EQ(obd2_config_step(), 0);
        const int64_t took = gw_monotonic_us() - t0;
        EXPECT_GE(took, CONFIG_RETRY_PAUSE_US);
        EXPECT_LT(took, CONFIG_RETRY_PAUSE_US + 500'000);
        EXPECT_EQ(trace.count_line("OBD2_ERROR : Incorrect bitrate"), 1);
        EXPECT_EQ(published_.packets(), (std::vector<std::string>{kWrongConfig}));
        EXPECT_EQ(read(cfg_), json);
        EXPECT_TRUE(g_commands.empty());
    }
}

TEST_F(Config, FailedPublishIsTraced)
{
    published_.set_accept(false);
    write(cfg_, R"({"can_port":{"BR":0}})");
    TraceCapture trace;
    EXPECT_EQ(obd2_config_step(), 0);
    EXPECT_EQ(trace.count_line("OBD2_ERROR : Error while publishing wrong config error packet."), 1);
}

TEST_F(Config, FactoryCopyShippedWithTheGatewayIsUsable)
{
    ASSERT_EQ(parse_config_json(tooltest::source("config/default_config.json").c_str()), 1);
    EXPECT_EQ(g_can_bitrate, 500000);
    EXPECT_EQ(g_can_padding, 0xAA);
    EXPECT_EQ(sensors(), (std::vector<std::string>{"ENGLD", "COLTMP", "ENGRPM", "SPD", "INTTMP", "THRTPS"}));
    EXPECT_EQ(groups(), (std::vector<std::string>{"STRDTC", "PNDDTC", "PRMDTC"}));
}
