#include "support/worker_env.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "common/atomic_file.h"
#include "common/cjson_ptr.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/ecu_info_file.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/obd2_state.h"
#include "th_obd2_com/obd2_worker.h"

namespace
{

std::mutex g_rec_mutex;
std::vector<std::string> g_rec_packets;
std::function<void(const std::string &)> g_on_publish;
std::atomic<bool> g_accept{true};

int record_publish(int index, const char *text)
{
    if (index != 0 || text == nullptr) {
        return 0;
    }
    std::function<void(const std::string &)> hook;
    {
        std::lock_guard<std::mutex> lk(g_rec_mutex);
        g_rec_packets.emplace_back(text);
        hook = g_on_publish;
    }
    if (hook) {
        hook(text);
    }
    return g_accept.load() ? 1 : 0;
}

std::mutex g_shell_mutex;
std::vector<std::string> g_shell_commands;

int record_shell(const char *command)
{
    std::lock_guard<std::mutex> lk(g_shell_mutex);
    g_shell_commands.emplace_back(command);
    return 0;
}

vsim::InProcessBus *g_bus = nullptr;
std::atomic<bool> g_can_available{true};

int attach_bus()
{
    if (!g_can_available.load()) {
        return 0;
    }
    g_bus->attach();
    return 1;
}

} // namespace

std::string packet_token(const std::string &text)
{
    CJsonPtr root(cJSON_Parse(text.c_str()));
    if (!root) {
        return "<invalid>";
    }
    const cJSON *data = cJSON_GetObjectItem(root.get(), "DATA");
    const cJSON *msg = data ? cJSON_GetObjectItem(data, "msg") : nullptr;
    if (cJSON_IsString(msg) && cJSON_GetObjectItem(root.get(), "ERROR")) {
        return msg->valuestring;
    }
    const cJSON *typ = cJSON_GetObjectItem(root.get(), "TYP");
    const cJSON *cmd = cJSON_GetObjectItem(root.get(), "CMD");
    return "<" + std::to_string(typ ? typ->valueint : -1) + "," + std::to_string(cmd ? cmd->valueint : -1) +
           ">";
}

PublishRecorder::PublishRecorder()
{
    clear();
    g_accept.store(true);
    mqtt_test_set_publish_hook(record_publish);
}

PublishRecorder::~PublishRecorder()
{
    mqtt_test_set_publish_hook(nullptr);
    set_on_publish(nullptr);
}

std::vector<std::string> PublishRecorder::packets()
{
    std::lock_guard<std::mutex> lk(g_rec_mutex);
    return g_rec_packets;
}

std::vector<std::string> PublishRecorder::tokens()
{
    auto out = packets();
    std::transform(out.begin(), out.end(), out.begin(), packet_token);
    return out;
}

int PublishRecorder::count_token(const std::string &token)
{
    const auto all = tokens();
    return static_cast<int>(std::count(all.begin(), all.end(), token));
}

bool PublishRecorder::wait_for_token(const std::string &token, int occurrences,
                                     std::chrono::milliseconds timeout)
{
    return wait_until([&] { return count_token(token) >= occurrences; }, timeout);
}

void PublishRecorder::clear()
{
    std::lock_guard<std::mutex> lk(g_rec_mutex);
    g_rec_packets.clear();
}

void PublishRecorder::set_accept(bool accept)
{
    g_accept.store(accept);
}

void PublishRecorder::set_on_publish(std::function<void(const std::string &)> fn)
{
    std::lock_guard<std::mutex> lk(g_rec_mutex);
    g_on_publish = std::move(fn);
}

std::string WorkerEnv::default_config()
{
    return R"({
  "can_port": {"padding": 170, "BR": 500000},
  "live_page": {"sensors": [
    {"name": "ENGRPM", "show": 1},
    {"name": "SPD", "show": 1},
    {"name": "COLTMP", "show": 1}
  ]},
  "show_dtc": {"STRDTC": 1, "PNDDTC": 1, "PRMDTC": 1}
})";
}

vsim::VehicleModel WorkerEnv::sample_vehicle()
{
    vsim::VehicleModel model;
    vsim::EcuModel ecu;
    ecu.pids = {{0x0C, {0x0C, 0x35}},
                {0x0D, {0x32}},
                {0x05, {0x5A}},
                {0x04, {0x80}},
                {0x01, {0x82, 0x07, 0x01, 0x01}}};
    ecu.freeze_frame = {0x0123, {{0x0C, {0x0C, 0x35}}, {0x05, {0x5A}}}};
    ecu.stored_dtcs = {0x0123, 0x0300};
    ecu.pending_dtcs = {0x0123};
    ecu.permanent_dtcs = {0xC100};
    ecu.vin = "WVWZZZ1JZXW000001";
    ecu.calid = "CAL-0042";
    ecu.cvn = {0x12, 0xAB, 0x34, 0xCD};
    ecu.ecu_name = "ECM-EngineControl";
    model.ecus.push_back(ecu);
    return model;
}

WorkerEnv::WorkerEnv(const vsim::VehicleModel &vehicle, const std::string &config_json, int pause_divisor)
{
    if (pause_divisor > 0) {
        clock_ = std::make_unique<ScaledClock>(pause_divisor);
    } else {
        clock_ = std::make_unique<FakeClock>();
    }
    char tmpl[] = "/tmp/obdgw-worker-XXXXXX";
    dir_ = mkdtemp(tmpl);
    static std::string cfg_path, def_path, ecu_path; // the seams keep the pointers
    cfg_path = config_path();
    def_path = dir_ + "/default_config/default_config.json";
    ecu_path = ecu_info_path();
    std::filesystem::create_directory(dir_ + "/default_config");
    write_config(config_json);
    const std::string def = default_config();
    gw_write_file_atomic(def_path.c_str(), def.data(), def.size());
    config_test_set_paths(cfg_path.c_str(), def_path.c_str());
    ecu_info_test_set_path(ecu_path.c_str());
    {
        std::lock_guard<std::mutex> lk(g_shell_mutex);
        g_shell_commands.clear();
    }
    can_test_set_shell_runner(record_shell);
    bus_ = std::make_unique<vsim::InProcessBus>(vehicle);
    g_bus = bus_.get();
    g_can_available.store(true);
    obd2_test_set_can_opener(attach_bus);
    obd2_test_reset_handover(OBD2_STATE_CONFIG);
}

WorkerEnv::~WorkerEnv()
{
    stop_worker();
    obd2_test_set_can_opener(nullptr);
    can_test_set_shell_runner(nullptr);
    config_test_set_paths(nullptr, nullptr);
    ecu_info_test_set_path(nullptr);
    g_bus = nullptr;
    bus_.reset();
    clock_.reset();
    std::error_code ignored; // a folder left behind in /tmp fails nothing
    std::filesystem::remove_all(dir_, ignored);
}

std::string WorkerEnv::read_ecu_info() const
{
    std::string s;
    gw_read_file(ecu_info_path().c_str(), s);
    return s;
}

void WorkerEnv::write_config(const std::string &json)
{
    gw_write_file_atomic(config_path().c_str(), json.data(), json.size());
}

void WorkerEnv::set_can_available(bool available)
{
    g_can_available.store(available);
}

std::vector<std::string> WorkerEnv::shell_commands()
{
    std::lock_guard<std::mutex> lk(g_shell_mutex);
    return g_shell_commands;
}

void WorkerEnv::start_worker()
{
    stop_.store(false);
    worker_ = gw_clock_thread([this] {
        obd2_worker_start();
        while (!stop_.load()) {
            obd2_run_state_pass();
        }
    });
}

bool WorkerEnv::start_until(const std::string &token, int occurrences, std::chrono::milliseconds timeout)
{
    start_worker();
    return recorder_.wait_for_token(token, occurrences, timeout);
}

void WorkerEnv::stop_worker()
{
    if (worker_.joinable()) {
        stop_.store(true);
        std::optional<FakeClock::Away> away; // the worker's last pass may still have time to spend
        if (auto *fake = dynamic_cast<FakeClock *>(clock_.get())) {
            away.emplace(*fake);
        }
        worker_.join();
    }
}
