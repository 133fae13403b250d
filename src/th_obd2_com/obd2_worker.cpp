#include "th_obd2_com/obd2_worker.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "common/gw_time.h"
#include "common/pass_guard.h"
#include "th_mqtt/mqtt_link.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/dtc.h"
#include "th_obd2_com/ecu_info_file.h"
#include "th_obd2_com/freeze_frame.h"
#include "th_obd2_com/live_data.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/obd2_state.h"
#include "th_obd2_com/obd_exchange.h"
#include "th_obd2_com/pid_probe.h"
#include "th_obd2_com/readiness.h"
#include "th_obd2_com/vehicle_info.h"

int g_flg_supported_pid_list = 1;

namespace
{

constexpr size_t kPacketBufSize = 128;

// Worker-local values, kept across states.
struct WorkerLocals {
    int socket_attempts = 0;
    int cmd_number = 0;
    int cmd_retry = 0;
    int cmd_runs = 0; // passes of the current command (live data repeats)
    int negative_count = 0;
    int heartbeat_passes = 0;
    uint8_t request[8] = {};
    uint8_t answer[OBD2_RESP_BUF_SIZE] = {};
    size_t answer_len = 0;

    // The last state the worker chose itself (a pending command may have kept
    // it from being stored), and the start-up state a command interrupted.
    int own_state = OBD2_STATE_CONFIG;
    int resume_state = 0;

    // Availability flags of the last probe in this run, to describe a vehicle
    // that comes back (and matches the saved file) without probing again.
    int last_probe[PID_AVAILABILITY_SIZE] = {};
    bool have_probe = false;

    // A status packet of identification could not be published: repeat it
    // only once the bus is connected again.
    bool identify_waits_for_bus = false;

    // The last attempt of the current command got no answer from the vehicle.
    bool attempt_unanswered = false;

    // A restart of the link is under way, and whether its last step had to be retried.
    bool restart_runs = false;
    bool startup_retried = false;
};

WorkerLocals L;
CanOpenFn s_can_opener = init_can_socket;

bool is_startup_state(int s)
{
    return s == OBD2_STATE_CONFIG || s == OBD2_STATE_CAN_INIT || s == OBD2_STATE_DETECT_MODE ||
           s == OBD2_STATE_IDENTIFY;
}

void set_state(int s)
{
    L.own_state = s;
    change_obd2_thrd_state(s);
}

// Ends a command: back to the heartbeat, or to the start-up step a command
// interrupted, so a command during start-up never strands the worker.
void end_command()
{
    const int next = L.resume_state != 0 ? L.resume_state : OBD2_STATE_IDLE;
    L.resume_state = 0;
    set_state(next);
}

// Back to the configuration step, bring-up and detection, before any command
// queued meanwhile (see run_state_pass).
void restart_link()
{
    L.resume_state = 0;
    L.restart_runs = true;
    L.startup_retried = false;
    set_state(OBD2_STATE_CONFIG);
}

// Builds and publishes a worker status packet. Returns 1 when published.
int publish_status(int cmd, int error, const char *msg)
{
    char pkt[kPacketBufSize];
    if (create_pkt_without_data(pkt, 1, cmd, error, msg) == 0) {
        return 0;
    }
    return MQTT_Publish_Data(0, pkt);
}

void build_detect_request()
{
    prepare_request(L.request, 2, 0x01, 0x00);
}

void state_config()
{
    if (obd2_config_step()) {
        set_state(OBD2_STATE_CAN_INIT);
    }
}

void state_can_init()
{
    if (s_can_opener()) {
        set_state(OBD2_STATE_DETECT_MODE);
        return;
    }
    printf("OBD2_ERROR : INIT CAN SOCKET FAILED -> RETRYING[%d]\n", L.socket_attempts);
    fflush(stdout);
    L.socket_attempts++;
    gw_sleep_us(OBD2_SOCKET_RETRY_PAUSE_US);
}

// The vehicle does not answer, whether the heartbeat or detection found it:
// "NOECU", and commands first check with one short request that it answers.
void report_vehicle_gone()
{
    publish_status(0, 1, "NOECU");
    L.heartbeat_passes = 0;
    if (g_flg_supported_pid_list == 1) {
        reset_supported_pid();
    }
    g_flg_supported_pid_list = 0;
}

void state_detect_mode()
{
    build_detect_request();
    EcuEntry found[OBD2_MAX_ECUS];
    int found_count = 0;
    int64_t uds_us = 0;
    const int result = obd_detect_ecus(L.request, sizeof L.request, L.answer, &L.answer_len, found,
                                       OBD2_MAX_ECUS, &found_count, &uds_us);
    if (result == 0) {
        puts("OBD2_ERROR : ECU MODE DETECTION FAILED. Retrying...");
        // Each attempt describes the configured interface afresh, before the report.
        reset_supported_pid();
        g_flg_supported_pid_list = 0;
        report_vehicle_gone();
        fflush(stdout);
        // A command handed over meanwhile is taken at once: with the vehicle
        // reported gone, it costs one short request, not the pause. Asking
        // the UDS form too leaves the report's cadence as it was.
        obd2_pause_unless_command(std::max<int64_t>(OBD2_DETECT_RETRY_PAUSE_US - uds_us, 0));
        return;
    }
    printf("response for mode detection : ");
    for (size_t i = 0; i < L.answer_len && i < sizeof L.answer; ++i) {
        printf("[%2x] ", L.answer[i]);
    }
    printf("\n");
    // Each entry keeps the identifier it answered from (a refusal included),
    // so exchanges bound to it take that ECU's answers.
    std::copy(found, found + found_count, g_ecu_list);
    g_ecu_count = found_count;
    printf("OBD2_INFO : Detected ECU with %s mode.\n", g_ecu_list[0].mode == 1 ? "11-bit" : "29-bit");
    if (found_count > 1) {
        printf("OBD2_INFO : %d ECUs answered:", found_count);
        for (int i = 0; i < found_count; ++i) {
            printf(" 0x%X", static_cast<unsigned>(found[i].response_id));
        }
        printf("\n");
    }
    if (publish_status(0, 0, "MODEDETECTED") == 0) {
        puts("OBD2_ERROR : Error while publishing MODEDETECTED packet");
    }
    fflush(stdout);
    g_flg_supported_pid_list = 1;
    set_state(OBD2_STATE_IDENTIFY);
}

// The saved file matched: describe the vehicle again (protocol of the detected
// mode, flags of its last probe in this run) instead of leaving reset contents.
void restore_saved_description(int mode)
{
    if (L.have_probe) {
        memcpy(g_pid_availability, L.last_probe, sizeof g_pid_availability);
    }
    if (char *text = build_vehicle_info_json(mode, g_can_bitrate)) {
        cJSON_free(text);
    }
    save_ecu_info_json();
}

// Identification failed to publish; the pass pauses and ends. It is run again
// once the bus link is up, not over and over against the vehicle meanwhile.
void identify_publish_failed()
{
    L.identify_waits_for_bus = true;
    fflush(stdout);
    gw_sleep_us(OBD2_IDENTIFY_RETRY_PAUSE_US);
}

// Identifies the vehicle through its engine ECU (entry 0). False when a status
// packet could not be published and identification must run again.
bool identify_engine()
{
    EcuScope scope(g_ecu_list[0]);
    const int mode = g_ecu_list[0].mode;
    if (get_vehicle_info(mode) == 0) {
        puts("OBD2_ERROR : Error while getting information packet.");
    }
    if (compare_vehicle_info_with_saved() == 1) {
        publish_status(0, 0, "GOTINFO");
        publish_status(0, 0, "GOTPID");
        publish_status(0, 0, "SAVSUC");
        restore_saved_description(mode);
        fflush(stdout);
        return true;
    }
    if (char *text = build_vehicle_info_json(mode, g_can_bitrate)) {
        cJSON_free(text);
    } else {
        puts("OBD2_ERROR : Error while building vehicle information json");
    }
    if (publish_status(0, 0, "GOTINFO") == 0) {
        puts("OBD2_ERROR : Error while publishing GOTINFO packet");
        return false;
    }
    if (get_supported_pid_list(mode) != 1) {
        puts("OBD2_ERROR : Error while getting supported pid list.");
    }
    memcpy(L.last_probe, g_pid_availability, sizeof L.last_probe);
    L.have_probe = true;
    if (publish_status(0, 0, "SAVSUC") == 0) {
        puts("OBD2_ERROR : Error while sending SAVSUC packet.");
        return false;
    }
    if (save_ecu_info_json() == 0) {
        puts("OBD2_ERROR : Error while saving ecu info json.");
    }
    fflush(stdout);
    return true;
}

void state_identify()
{
    if (L.identify_waits_for_bus && giMQTTState.load() != MQTT_CONNECTED) {
        gw_sleep_us(OBD2_IDENTIFY_RETRY_PAUSE_US);
        return;
    }
    L.identify_waits_for_bus = false;
    if (ecu_list_size() > 0 && !identify_engine()) {
        identify_publish_failed();
        return;
    }
    set_state(OBD2_STATE_IDLE);
}

void state_parse_cmd()
{
    L.cmd_number = parse_received_cmd();
    if (L.cmd_number == 0) {
        puts("OBD2_ERROR : CAN command detection failed.");
        fflush(stdout);
        if (L.resume_state != 0) {
            // Nothing to do: start-up goes on where the command interrupted it.
            end_command();
            return;
        }
        gw_sleep_us(OBD2_CMD_ZERO_PAUSE_US);
        return;
    }
    L.cmd_retry = 0;
    L.cmd_runs = 0;
    L.attempt_unanswered = false;
    set_state(OBD2_STATE_EXEC_CMD);
}

void state_exec_cmd()
{
    // A command queued behind this one ends its repetitions (live data) and its retries.
    if (L.cmd_runs > 0 && obd2_command_pending()) {
        set_state(OBD2_STATE_PARSE_CMD);
        return;
    }
    ++L.cmd_runs;
    if (handle_received_cmd(L.cmd_number) != 0) {
        // Only failures in a row end a command: a good live snapshot starts the count again.
        L.cmd_retry = 0;
        return;
    }
    if (L.cmd_retry > OBD2_CMD_MAX_RETRIES - 1) {
        puts("OBD2_ERROR : NO COMMUNICATION WITH ECU.");
        fflush(stdout);
        L.cmd_retry = 0;
        end_command();
        return;
    }
    printf("OBD2_ERROR : Error while handling received command--- Retrying [%d]\n", L.cmd_retry);
    fflush(stdout);
    L.cmd_retry++;
    // The retry first makes sure the vehicle answers at all.
    L.attempt_unanswered = true;
    // A command that came meanwhile is carried out next; the retry would not be.
    obd2_pause_unless_command(OBD2_CMD_RETRY_PAUSE_US);
}

// The heartbeat's probe. While the vehicle is there its engine answers for it;
// a lost vehicle comes back through whichever ECU answers first.
int probe_vehicle()
{
    build_detect_request();
    std::optional<EcuScope> scope;
    if (g_flg_supported_pid_list == 1 && ecu_list_size() > 0) {
        scope.emplace(g_ecu_list[0]);
    }
    return obd_detect_mode(L.request, sizeof L.request, L.answer, &L.answer_len);
}

void state_idle()
{
    pthread_mutex_lock(&obd_state_mutex);
    if (L.heartbeat_passes <= OBD2_HEARTBEAT_IDLE_PASSES) {
        L.heartbeat_passes++;
        pthread_mutex_unlock(&obd_state_mutex);
        // A command handed over meanwhile ends the pause: it waits for no heartbeat.
        obd2_pause_unless_command(OBD2_IDLE_PAUSE_US);
        return;
    }
    const int result = probe_vehicle();
    if (result == 0) {
        report_vehicle_gone();
    } else if (result == -2) {
        if (L.negative_count < OBD2_TOLERATED_NEGATIVE) {
            L.negative_count++;
            pthread_mutex_unlock(&obd_state_mutex);
            obd2_pause_unless_command(OBD2_NEGATIVE_ANSWER_PAUSE_US);
            return;
        }
        report_vehicle_gone();
    } else {
        publish_status(0, 0, "ECU");
        if (g_flg_supported_pid_list == 0) {
            publish_status(0, 0, "GOTECU");
            set_state(OBD2_STATE_DETECT_MODE);
        }
        g_flg_supported_pid_list = 1;
        L.heartbeat_passes = 0;
        // Tolerance is for a run of negative answers, not for the life of the process.
        L.negative_count = 0;
    }
    fflush(stdout);
    pthread_mutex_unlock(&obd_state_mutex);
}

// Before a command spends its waits on the vehicle: while the heartbeat
// reports it absent, or nothing answered the command's last attempt, one
// short request tells whether it answers at all.
bool vehicle_answers()
{
    if (g_flg_supported_pid_list == 1 && !L.attempt_unanswered) {
        return true;
    }
    build_detect_request();
    const int mode = ecu_list_size() > 0 ? g_ecu_list[0].mode : 1;
    const Obd2Outcome rc =
        obd_send_request(mode, L.request, sizeof L.request, L.answer, &L.answer_len, OBD2_REQ_DETECT);
    L.attempt_unanswered = rc == Obd2Outcome::None;
    if (L.attempt_unanswered) {
        puts("OBD2_ERROR : The vehicle does not answer.");
    }
    return !L.attempt_unanswered;
}

int publish_error_packet(int cmd, const char *msg, const char *publish_failure)
{
    char pkt[kPacketBufSize];
    if (create_pkt_without_data(pkt, 1, cmd, 1, msg) == 0) {
        puts("OBD2_ERROR : Error while creating error packet.");
        return -1;
    }
    if (MQTT_Publish_Data(0, pkt) == 0) {
        puts(publish_failure);
        return 0;
    }
    return 1;
}

// Commands needing the vehicle without a detected ECU: "COMER" and the command ends.
int report_no_ecu(int cmd, const char *publish_failure)
{
    printf("OBD2_ERROR : Error while communicating with ecu device [ecu count] : [ %d ]\n", g_ecu_count);
    const int published = publish_error_packet(cmd, "COMER", publish_failure);
    if (published < 0) {
        return 0;
    }
    end_command();
    return published;
}

int cmd_read_dtc()
{
    if (g_ecu_count <= 0) {
        return report_no_ecu(1, "OBD2_ERROR : Error while publishing dtc error packet.");
    }
    const char *packet = vehicle_answers() ? handle_dtc_command() : nullptr;
    if (packet == nullptr) {
        // No ECU answered (or no packet could be built): not a vehicle without
        // codes. The command is retried.
        publish_error_packet(1, "NORES", "OBD2_ERROR : Error while publishing DTC no response packet.");
        return 0;
    }
    if (MQTT_Publish_Data(0, packet) == 0) {
        puts("OBD2_ERROR : Error while publishing DTC packet.");
        return 0;
    }
    memset(final_json, 0, sizeof final_json);
    end_command();
    return 1;
}

// One snapshot, from the engine ECU: one live packet per pass.
int cmd_live_data()
{
    if (g_ecu_count <= 0) {
        return report_no_ecu(2, "OBD2_ERROR : Error while publishing live error packet.");
    }
    get_pid_list();
    const char *packet = nullptr;
    if (vehicle_answers()) {
        EcuScope scope(g_ecu_list[0]);
        packet = handle_live_mode(g_ecu_list[0].mode);
    }
    if (packet == nullptr) {
        puts("OBD2_ERROR : Error while getting live packet.");
        publish_error_packet(2, "NORES", "OBD2_ERROR : Error while publishing LIVE no response packet.");
        return 0;
    }
    if (MQTT_Publish_Data(0, packet) == 0) {
        puts("OBD2_ERROR : Error while publishing LIVE packet.");
        return 0;
    }
    memset(json_output, 0, sizeof json_output);
    return 1;
}

// One outcome per command: cleared once every recorded ECU confirmed.
int cmd_clear_dtc()
{
    if (g_ecu_count <= 0) {
        return report_no_ecu(4, "OBD2_ERROR : Error while sending error packet.");
    }
    // One clear request reaches every recorded ECU; it counts once all confirmed.
    if (!vehicle_answers() || clear_dtc_of_recorded_ecus() == 0) {
        puts("OBD2_ERROR : Error while clearing dtc");
        publish_error_packet(4, "NORES", "OBD2_ERROR : Error while sending error packet.");
        return 0;
    }
    gw_sleep_us(OBD2_DTC_CLEARED_DELAY_US);
    char pkt[kPacketBufSize];
    if (create_pkt_without_data(pkt, 1, 4, 0, "DTC_CLEARED") == 0) {
        puts("OBD2_ERROR : Error while creating dtc clear success packet.");
        return 0;
    }
    if (MQTT_Publish_Data(0, pkt) == 0) {
        puts("OBD2_ERROR : Error while sending sucess packet.");
        return 0;
    }
    end_command();
    return 1;
}

// Commands 13 and 14: one packet read from the vehicle, else "NORES" and a retry.
int cmd_one_packet(int cmd, const char *(*read)())
{
    if (g_ecu_count <= 0) {
        return report_no_ecu(cmd, "OBD2_ERROR : Error while publishing error packet.");
    }
    const char *packet = vehicle_answers() ? read() : nullptr;
    if (packet == nullptr) {
        publish_error_packet(cmd, "NORES", "OBD2_ERROR : Error while publishing no response packet.");
        return 0;
    }
    if (MQTT_Publish_Data(0, packet) == 0) {
        printf("OBD2_ERROR : Error while publishing the packet of command %d.\n", cmd);
        return 0;
    }
    end_command();
    return 1;
}

// The decimal number after the first occurrence of `key` and at least one
// colon or space; -1 when there is none or it lies outside the int range
// (no action rather than whatever its low bits would select).
int number_after_key(const char *text, const char *key)
{
    const char *p = strstr(text, key);
    if (p == nullptr) {
        return -1;
    }
    p += strlen(key);
    const size_t separators = strspn(p, ": ");
    if (separators == 0) {
        return -1;
    }
    p += separators;
    char *end = nullptr;
    errno = 0;
    const long long value = strtoll(p, &end, 10);
    if (end == p || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        return -1;
    }
    return static_cast<int>(value);
}

} // namespace

void obd2_test_set_can_opener(CanOpenFn fn)
{
    s_can_opener = fn ? fn : init_can_socket;
}

int parse_received_cmd()
{
    char text[OBD2_CMD_BUF_SIZE];
    obd2_take_command(text);
    const int typ = number_after_key(text, "\"TYP\"");
    const int cmd = number_after_key(text, "\"CMD\"");
    printf("[DEBUG] TYP=%d, CMD=%d\n", typ, cmd);
    fflush(stdout);
    return cmd;
}

int handle_received_cmd(int cmd)
{
    int result = 1;
    switch (cmd) {
    case 1:
        result = cmd_read_dtc();
        break;
    case 2:
        result = cmd_live_data();
        break;
    case 4:
        result = cmd_clear_dtc();
        break;
    case 13:
        result = cmd_one_packet(13, handle_readiness_command);
        break;
    case 14:
        result = cmd_one_packet(14, handle_freeze_frame_command);
        break;
    case 10:
        restart_link();
        break;
    default:
        // 3, 7, 11 go idle; every command without an action ends the same way
        // rather than leaving the worker spinning in command execution.
        end_command();
        break;
    }
    fflush(stdout);
    return result;
}

void obd2_worker_start()
{
    L = WorkerLocals{};
    can_link_reset_failures();
    if (reset_supported_pid() == 0) {
        puts("OBD2_ERROR : Error while reseting supported pid's");
        fflush(stdout);
    }
    set_state(OBD2_STATE_CONFIG);
}

namespace
{

void run_state_pass(int state)
{
    // A restart asked for (command 10, a lost interface) is carried out before
    // the commands queued behind it, as long as it makes progress; once a step
    // must be retried (no vehicle, an unusable configuration), queued commands
    // go first and the restart resumes after them.
    const bool restart_first = state == OBD2_STATE_PARSE_CMD && L.restart_runs &&
                               is_startup_state(L.own_state) && !L.startup_retried;
    if (restart_first) {
        state = L.own_state;
    }
    const int before = L.own_state;
    if (state == OBD2_STATE_PARSE_CMD && L.own_state != OBD2_STATE_PARSE_CMD &&
        L.own_state != OBD2_STATE_EXEC_CMD) {
        // A command took over; remember where start-up had got to.
        L.resume_state = is_startup_state(L.own_state) ? L.own_state : 0;
    }
    if (state == OBD2_STATE_PARSE_CMD) {
        set_state(OBD2_STATE_PARSE_CMD);
    }
    switch (state) {
    case OBD2_STATE_CONFIG:
        state_config();
        break;
    case OBD2_STATE_CAN_INIT:
        state_can_init();
        break;
    case OBD2_STATE_DETECT_MODE:
        state_detect_mode();
        break;
    case OBD2_STATE_IDENTIFY:
        state_identify();
        break;
    case OBD2_STATE_PARSE_CMD:
        state_parse_cmd();
        break;
    case OBD2_STATE_EXEC_CMD:
        state_exec_cmd();
        break;
    case OBD2_STATE_IDLE:
        state_idle();
        break;
    default:
        // Never stored by this code; go back to the heartbeat rather than spin.
        set_state(OBD2_STATE_IDLE);
        break;
    }
    if (state == before && is_startup_state(before)) {
        L.startup_retried = L.own_state == before;
    }
    L.restart_runs = L.restart_runs && is_startup_state(L.own_state);
}

// A pass cut short by an exception (no memory, in practice) is reported and
// run again after a pause; the worker thread never ends. The heartbeat holds
// obd_state_mutex over its probe and publications, and no other thread takes
// that mutex, so a heartbeat pass that threw must not leave it locked.
void abandon_pass(int state, const char *what)
{
    if (state == OBD2_STATE_IDLE) {
        pthread_mutex_trylock(&obd_state_mutex);
        pthread_mutex_unlock(&obd_state_mutex);
    }
    printf("OBD2_ERROR : Pass of state %d abandoned: %s\n", state, what);
    fflush(stdout);
    gw_sleep_us(OBD2_FAILED_PASS_PAUSE_US);
}

} // namespace

void obd2_run_state_pass()
{
    const int state = get_obd2_thrd_state();
    gw_guarded_pass([state] { run_state_pass(state); },
                    [state](const char *what) { abandon_pass(state, what); });
    // An interface that went down, away (re-plugged, driver reloaded) or
    // bus-off never comes back on the sockets the worker holds: bring it up
    // again and open new ones.
    if (can_link_failures() >= OBD2_LINK_FAILURE_LIMIT) {
        printf("OBD2_ERROR : CAN interface lost (%d failed exchanges in a row); bringing it up again.\n",
               can_link_failures());
        fflush(stdout);
        can_link_reset_failures();
        restart_link();
    }
}

void *obd2_com_thrd_main(void *)
{
    obd2_worker_start();
    for (;;) {
        obd2_run_state_pass();
    }
    return nullptr;
}
