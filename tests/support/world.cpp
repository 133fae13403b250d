#include "support/world.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/gw_time.h"
#include "main/gateway.h"
#include "support/capture.h"
#include "th_gpio/gpio_lines.h"
#include "th_gpio/gpio_worker.h"
#include "th_mqtt/mqtt_link.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/dtc.h"
#include "th_obd2_com/ecu_info_file.h"
#include "th_obd2_com/ecu_list.h"
#include "th_obd2_com/live_data.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/obd2_state.h"
#include "th_obd2_com/obd2_worker.h"
#include "th_obd2_com/pid_probe.h"
#include "th_obd2_com/vehicle_info.h"

void reset_daemon_world()
{
    mqtt_test_set_publish_hook(nullptr);
    mqtt_test_set_step_hook(nullptr);
    can_test_set_shell_runner(nullptr);
    can_test_set_socket_factory(nullptr);
    obd2_test_set_can_opener(nullptr);
    gateway_test_set_thread_create(nullptr);
    config_test_set_paths(nullptr, nullptr);
    gw_set_clock(nullptr);

    if (hMqttClient.load() != nullptr) {
        TraceCapture quiet;
        MQTT_Disconnect();
    }
    mqtt_worker_start();
    mqtt_delivery_clear();

    // The worker's start writes the reset ECU information file: to a file of
    // this process, never to the daemon's fixed path.
    const std::string scratch = "/tmp/obdgw-world-" + std::to_string(getpid()) + ".json";
    ecu_info_test_set_path(scratch.c_str());
    {
        TraceCapture quiet;
        obd2_worker_start();
    }
    ecu_info_test_set_path(nullptr);
    unlink(scratch.c_str());

    memset(g_vehicle_info, 0, sizeof g_vehicle_info);
    g_vehicle_info_count = 0;
    memset(g_can_protocol, 0, sizeof g_can_protocol);
    std::fill(std::begin(g_ecu_list), std::end(g_ecu_list), EcuEntry{});
    g_ecu_count = 0;
    memset(g_pid_availability, 0, sizeof g_pid_availability);
    for (SupportedPid &entry : supported_pids) {
        free(entry.short_key); // the list owns its keys
        entry = SupportedPid{};
    }
    g_supported_pid_count = 0;
    g_flg_supported_pid_list = 1;
    memset(json_output, 0, sizeof json_output);
    memset(final_json, 0, sizeof final_json);

    g_can_padding = 0;
    g_can_bitrate = 0;
    memset(g_live_sensor_names, 0, sizeof g_live_sensor_names);
    g_live_sensor_count = 0;
    memset(g_dtc_names, 0, sizeof g_dtc_names);
    g_dtc_count = 0;
    // The descriptors belong to whoever opened them (a test's bus); only forget them.
    can_cfg[0].sock = -1;
    can_cfg[1].sock = -1;

    obd2_test_reset_handover(OBD2_STATE_CONFIG);

    gpio_close();
    gpio_test_reset_worker();
    memset(g_arr_do_states, 0, sizeof g_arr_do_states);
}
