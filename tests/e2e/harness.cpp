#include "harness.h"

#include "common/atomic_file.h"
#include "support/test_clock.h"

#include <cjson/cJSON.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace e2e
{

namespace
{

constexpr milliseconds kSimStartTimeout{10000};
std::string ns_id(const char *what)
{
    char buf[128] = {};
    std::string link = std::string("/proc/") + what;
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool mkdir_p(const std::string &path)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return !ec;
}

} // namespace

// It must come first in LD_PRELOAD, before the preload libraries that need it.
std::string sanitizer_runtime()
{
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const auto base = line.substr(line.rfind('/') + 1); // the whole line when it names no file
        if (base.rfind("libasan.so", 0) == 0 || base.rfind("libtsan.so", 0) == 0) {
            return line.substr(line.find('/'));
        }
    }
    return "";
}

bool read_file(const std::string &path, std::string &out)
{
    return gw_read_file(path.c_str(), out);
}

std::string read_file(const std::string &path)
{
    std::string s;
    read_file(path, s);
    return s;
}

bool write_file(const std::string &path, const std::string &text)
{
    // A temporary name of its own: the daemon may be replacing the same file.
    std::string tmp = path + ".e2e-tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out || !(out << text).flush()) {
            return false;
        }
    }
    return ::rename(tmp.c_str(), path.c_str()) == 0;
}

std::string e2e_data(const std::string &rel)
{
    return std::string(OBDGW_E2E_DIR) + "/" + rel;
}
std::string repo_file(const std::string &rel)
{
    return std::string(OBDGW_E2E_SOURCE_DIR) + "/" + rel;
}

bool Workspace::set_up(std::string &error)
{
    auto fail = [&error](const std::string &what) {
        error = what;
        return false;
    };
    if (ns_id("self/ns/mnt").empty() || ns_id("self/ns/mnt") == ns_id("1/ns/mnt") ||
        ns_id("self/ns/net") == ns_id("1/ns/net")) {
        return fail("not in private mount and network namespaces: run through tests/netns_run.sh");
    }
    char tmpl[] = "/tmp/obdgw-e2e-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        return fail(std::string("mkdtemp: ") + std::strerror(errno));
    }
    dir_ = tmpl;
    const std::string configs = dir_ + "/configs";
    if (!mkdir_p(configs + "/default_config")) {
        return fail("cannot create " + configs);
    }
    // One tmpfs over /opt per process: nothing is ever created under the real /opt.
    static bool opt_mounted = false;
    if (!opt_mounted) {
        if (::mount("tmpfs", "/opt", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=16m") != 0) {
            return fail(std::string("mount tmpfs on /opt: ") + std::strerror(errno));
        }
        opt_mounted = true;
    }
    if (!mkdir_p(kConfigDir)) {
        return fail("cannot create /opt/vyr/configs on the tmpfs");
    }
    if (::mount(configs.c_str(), kConfigDir, nullptr, MS_BIND, nullptr) != 0) {
        return fail(std::string("bind mount on /opt/vyr/configs: ") + std::strerror(errno));
    }
    mounted_ = true;
    std::string factory;
    if (!read_file(repo_file("config/default_config.json"), factory) || !write_file(kFactoryFile, factory)) {
        return fail("cannot install the factory configuration");
    }
    return true;
}

void Workspace::tear_down()
{
    if (mounted_) {
        ::umount2(kConfigDir, MNT_DETACH);
        mounted_ = false;
    }
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        dir_.clear();
    }
}

Publisher::~Publisher()
{
    if (client_ != nullptr) {
        if (MQTTClient_isConnected(client_)) {
            MQTTClient_disconnect(client_, 100);
        }
        MQTTClient_destroy(&client_);
    }
}

bool Publisher::connect()
{
    if (MQTTClient_create(&client_, "tcp://127.0.0.1:1883", id_.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                          nullptr) != MQTTCLIENT_SUCCESS) {
        client_ = nullptr;
        return false;
    }
    MQTTClient_connectOptions opts = MQTTClient_connectOptions_initializer;
    opts.keepAliveInterval = 20;
    opts.cleansession = 1;
    opts.connectTimeout = 5;
    opts.reliable = 0;
    opts.maxInflightMessages = kFloodInflight;
    return connect_without_delay(client_, &opts) == MQTTCLIENT_SUCCESS;
}

std::string status(const std::string &msg, int error, int cmd)
{
    return "{\"TYP\":1,\"CMD\":" + std::to_string(cmd) + ",\"ERROR\":" + std::to_string(error) +
           ",\"DATA\":{\"msg\":\"" + msg + "\"}}";
}

bool Sim::start(const std::string &vehicle_file)
{
    const std::string ctl = dir_ + "/ctl.sock";
    ::unlink(ctl.c_str());
    if (!child_.start(
            {OBDGW_E2E_SIM, "--vehicle", vehicle_file, "--bus", bus_path(), "--control", ctl, "--no-stdin"},
            {}, log_path(), true)) {
        return false;
    }
    // Ready once its control socket answers; no use waiting for a simulator that ended.
    return wait_until(
               [&] { return !child_.running() || (std::filesystem::exists(ctl) && command_ok("status")); },
               kSimStartTimeout) &&
           child_.running();
}

size_t Sim::mark()
{
    command("status");
    return split_lines(log()).size();
}

double Sim::clock_offset()
{
    auto secs = [](Clock::time_point t) {
        return std::chrono::duration<double>(t.time_since_epoch()).count();
    };
    const size_t before = split_lines(log()).size();
    const double a = secs(Clock::now());
    command("status");
    const double b = secs(Clock::now());
    auto lines = split_lines(log());
    for (size_t i = before; i < lines.size(); ++i) {
        if (lines[i].find("--  command: status") != std::string::npos && !lines[i].empty() &&
            lines[i][0] == '(') {
            return (a + b) / 2 - std::atof(lines[i].c_str() + 1);
        }
    }
    return 0;
}

std::vector<Frame> Sim::frames(size_t from_line)
{
    std::vector<Frame> out;
    auto lines = split_lines(log());
    for (size_t i = from_line; i < lines.size(); ++i) {
        const std::string &l = lines[i];
        auto close = l.find(')');
        if (l.empty() || l[0] != '(' || close == std::string::npos) {
            continue;
        }
        std::istringstream in(l.substr(close + 1));
        std::string iface, dir, id, len;
        in >> iface >> dir >> id >> len;
        if ((dir != "RX" && dir != "TX") || len.size() < 3 || len.front() != '[') {
            continue;
        }
        Frame f;
        f.t = std::atof(l.c_str() + 1);
        f.from_gateway = dir == "RX";
        f.extended = id.size() == 8;
        f.id = static_cast<uint32_t>(std::stoul(id, nullptr, 16));
        int n = std::atoi(len.c_str() + 1);
        for (int k = 0; k < n && k < 8; ++k) {
            std::string b;
            in >> b;
            f.data.push_back(static_cast<uint8_t>(std::stoul(b, nullptr, 16)));
        }
        out.push_back(std::move(f));
    }
    return out;
}

bool Gateway::start(const std::string &bus, const std::vector<std::string> &extra_env)
{
    const std::string runtime = sanitizer_runtime();
    const std::string preload =
        (runtime.empty() ? "" : runtime + ":") + OBDGW_E2E_CAN_PRELOAD + ":" + OBDGW_E2E_GPIO_PRELOAD;
    std::vector<std::string> env{"OBDSIM_BUS=" + bus, "OBDSIM_IP_LOG=" + ip_log_path(),
                                 "FAKE_GPIOD_STATE_FILE=" + gpio_state_path(), "LD_PRELOAD=" + preload};
    const char *asan_env = std::getenv("ASAN_OPTIONS");
    const std::string asan = asan_env ? asan_env : "";
    env.push_back("ASAN_OPTIONS=" + asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0");
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    return child_.start({OBDGW_E2E_GATEWAY}, env, log_path(), true);
}

int Gateway::count_in_trace(const std::string &needle)
{
    std::string t = trace();
    int n = 0;
    for (size_t p = t.find(needle); p != std::string::npos; p = t.find(needle, p + needle.size())) {
        ++n;
    }
    return n;
}

bool Gateway::wait_trace(const std::string &needle, milliseconds timeout, int times)
{
    // A daemon that ended writes nothing more.
    wait_until([&] { return count_in_trace(needle) >= times || !running(); }, timeout);
    return count_in_trace(needle) >= times;
}

std::string Gateway::sanitizer_report()
{
    std::string out;
    for (const auto &l : split_lines(trace())) {
        if (l.find("ERROR: AddressSanitizer") != std::string::npos ||
            l.find("ERROR: LeakSanitizer") != std::string::npos ||
            l.find("WARNING: ThreadSanitizer") != std::string::npos ||
            l.find("runtime error:") != std::string::npos) {
            out += l + "\n";
        }
    }
    return out;
}

long Gateway::cpu_ticks()
{
    std::string s = read_file("/proc/" + std::to_string(pid()) + "/stat");
    auto close = s.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream in(s.substr(close + 2));
    std::string skipped;
    long utime = 0, stime = 0;
    // Fields after the command name start at field 3 (state); utime is 14, stime 15.
    for (int i = 3; i < 14; ++i) {
        in >> skipped;
    }
    in >> utime >> stime;
    return utime + stime;
}

std::map<std::string, std::pair<int, std::string>> Gateway::gpio_lines()
{
    std::map<std::string, std::pair<int, std::string>> out;
    for (const auto &l : split_lines(read_file(gpio_state_path()))) {
        std::istringstream in(l);
        std::string chip, dir, consumer;
        int offset = -1, level = -1;
        if (in >> chip >> offset >> dir >> level) {
            in >> consumer;
            out[chip + ":" + std::to_string(offset)] = {level, consumer};
        }
    }
    return out;
}

std::map<std::string, int> Gateway::gpio_levels()
{
    std::map<std::string, int> out;
    for (const auto &[line, state] : gpio_lines()) {
        out[line] = state.first;
    }
    return out;
}

const std::vector<std::string> &catalogue_keys()
{
    static const std::vector<std::string> keys{
        "ENGLD",  "COLTMP", "FULPRS",  "INTPRS",  "ENGRPM", "SPD",      "TMADV",   "INTTMP",
        "MSFLRT", "THRTPS", "FULRPRS", "FLLVL",   "THRPSB", "CNTMDVOL", "AMBTMP",  "O2S1",
        "O2S2",   "O2S3",   "O2S4",    "O2S5",    "O2S6",   "O2S7",     "O2S8",    "FRLDSL",
        "CMDEGR", "EGRE",   "EVAPPRG", "WRMUPC",  "DISCLR", "CTB1S1",   "CTB2S1",  "CTB1S2",
        "CTB2S2", "LMBRAT", "RELTHR",  "THRPSB2", "THRPSC", "THRPSD",   "THRPSE",  "THRPSF",
        "CMDTHR", "TMIL",   "TCLR",    "STFT1",   "LTFT1",  "STFT2",    "LTFT2",   "DISMIL",
        "EVPPRS", "ABSLOD", "OILTEMP", "INJTIM",  "FULRAT", "DDTORQ",   "ACTTORQ", "REFTORQ"};
    return keys;
}

const std::vector<uint8_t> &catalogue_pids()
{
    static const std::vector<uint8_t> pids{
        0x04, 0x05, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x22, 0x2F, 0x33, 0x42,
        0x46, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x23, 0x2C, 0x2D, 0x2E, 0x30,
        0x31, 0x3C, 0x3D, 0x3E, 0x3F, 0x44, 0x45, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D,
        0x4E, 0x06, 0x07, 0x08, 0x09, 0x21, 0x32, 0x43, 0x5C, 0x5D, 0x5E, 0x61, 0x62, 0x63};
    return pids;
}

std::string ecu_info_text(const EcuInfo &info)
{
    cJSON *root = cJSON_CreateObject();
    cJSON *ecu = cJSON_AddObjectToObject(root, "ECU_INFO");
    cJSON_AddStringToObject(ecu, "VID", info.vid.c_str());
    cJSON_AddStringToObject(ecu, "CID", info.cid.c_str());
    cJSON_AddStringToObject(ecu, "CVN", info.cvn.c_str());
    cJSON_AddStringToObject(ecu, "ECUNM", info.ecunm.c_str());
    cJSON_AddStringToObject(ecu, "PROTO", info.proto.c_str());
    cJSON_AddNumberToObject(ecu, "BR", static_cast<double>(info.br));
    cJSON *live = cJSON_AddObjectToObject(root, "LIVE_PIDS");
    const auto &keys = catalogue_keys();
    for (size_t i = 0; i < keys.size(); ++i) {
        cJSON_AddNumberToObject(live, keys[i].c_str(), i < info.flags.size() ? info.flags[i] : 0);
    }
    char *text = cJSON_Print(root);
    std::string out = text ? text : "";
    cJSON_free(text);
    cJSON_Delete(root);
    return out;
}

EcuInfo reset_ecu_info(long br, const EcuInfo &texts_from)
{
    EcuInfo e = texts_from;
    e.proto = "UNKNOWN";
    e.br = br;
    e.flags.assign(catalogue_keys().size(), 0);
    std::fill_n(e.flags.begin(), 5, 1);
    return e;
}

std::string live_packet(const std::vector<std::pair<std::string, std::string>> &lines)
{
    std::string s = "{\n  \"TYP\": 1,\n  \"CMD\": 2,\n  \"DATA\": {\n";
    for (size_t i = 0; i < lines.size(); ++i) {
        s += "    \"" + lines[i].first + "\": " + lines[i].second + (i + 1 < lines.size() ? "," : "") + "\n";
    }
    return s + "  }\n}";
}

std::string config_text(const Config &c)
{
    std::string s = "{\n  \"can_port\": { \"BR\": " + std::to_string(c.br) +
                    ", \"padding\": " + std::to_string(c.padding) + " },\n  \"live_page\": { \"sensors\": [";
    for (size_t i = 0; i < c.sensors.size(); ++i) {
        s += std::string(i ? ", " : "") + "{ \"name\": \"" + c.sensors[i] + "\", \"show\": 1 }";
    }
    s += "] },\n  \"show_dtc\": {";
    for (size_t i = 0; i < c.dtc_groups.size(); ++i) {
        s += std::string(i ? ", " : " ") + "\"" + c.dtc_groups[i] + "\": 1";
    }
    return s + " }\n}\n";
}

std::string dtc_packet(const std::vector<std::string> &stored, const std::vector<std::string> &pending,
                       const std::vector<std::string> &permanent)
{
    auto arr = [](const std::vector<std::string> &v) {
        std::string s = "[";
        for (size_t i = 0; i < v.size(); ++i) {
            s += std::string(i ? "," : "") + "\"" + v[i] + "\"";
        }
        return s + "]";
    };
    return "{\"TYP\":1,\"CMD\":1,\"DATA\":{\"STRDTC\":" + arr(stored) + ",\"PNDDTC\":" + arr(pending) +
           ",\"PRMDTC\":" + arr(permanent) + "}}";
}

double ms_between(const Packet &a, const Packet &b)
{
    return std::chrono::duration<double, std::milli>(b.at - a.at).count();
}

} // namespace e2e
