// The OBD worker's configuration step: read the file (restoring the factory
// copy when it cannot be used), check it, and bring up the CAN interface.
// Kept apart from the parser so that code needing only the configuration
// values does not pull in the bus client.
#include <cerrno>
#include <cstdio>
#include <exception>
#include <string>

#include "common/atomic_file.h"
#include "common/gw_time.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/can_link.h"
#include "th_obd2_com/obd2_config.h"

namespace
{

constexpr const char *CAN_INTERFACE = "can0";
constexpr size_t STATUS_PKT_LEN = 128; // the longest status packet has 57 characters

// Keeps the user's unusable file (`judged`, the bytes found twice) as
// config.json.bad, then replaces it with the factory copy. The file is touched
// only once the copy has been read in full, and only while it still holds the
// judged bytes; it is replaced atomically, so a missing copy or a power loss
// never leaves it empty or half written, and it keeps its owner, permissions
// and link, so the UI can still write it. A file that is there but cannot be
// kept is not replaced either. Nothing is written when the file already holds
// the copy or the kept copy is already the same: an unusable copy is restored
// on every retry, and rewriting the same bytes once a second only wears the flash.
bool keep_unusable_and_restore_factory_copy(const std::string &judged)
{
    try {
        std::string factory;
        if (!gw_read_file(default_config_file_path(), factory)) {
            return false;
        }
        // Read whole: the judged bytes stop past the size limit, the kept copy must not.
        std::string current;
        if (gw_read_file(config_file_path(), current)) {
            if (current == factory) {
                return true;
            }
            if (current.compare(0, static_cast<size_t>(CONFIG_FILE_MAX_LEN) + 1, judged) != 0) {
                return false; // written again meanwhile: judged afresh on the next pass
            }
            const std::string bad = std::string(config_file_path()) + ".bad";
            std::string kept;
            const bool already_kept = gw_read_file(bad.c_str(), kept) && kept == current;
            if (!already_kept &&
                !gw_write_file_atomic(bad.c_str(), current.data(), current.size(), config_file_path())) {
                perror(("OBD2_ERROR : Failed to keep the unusable configuration as " + bad).c_str());
                return false;
            }
            printf("OBD2_INFO : Unusable configuration kept as %s\n", bad.c_str());
        } else if (errno != ENOENT) {
            return false;
        }
        return gw_write_file_atomic(config_file_path(), factory.data(), factory.size());
    } catch (const std::exception &) {
        return false; // no memory to hold the files: nothing kept, nothing replaced
    }
}

enum class Verdict { Unusable, Usable, Undecided };

// The file could not be used. It is read twice, a moment apart: only the
// same unusable bytes (or the file missing both times) make it unusable, in
// `judged`. One that parses at the second read was caught half written or
// failed for want of memory, and its values are taken (Usable); one still
// changing is being written (Undecided).
Verdict judge_unusable_file(std::string &judged)
{
    try {
        std::string second;
        const bool first_read = gw_read_file(config_file_path(), judged, CONFIG_FILE_MAX_LEN + 1);
        const int first_errno = errno;
        gw_sleep_us(CONFIG_SECOND_READ_PAUSE_US);
        const bool second_read = gw_read_file(config_file_path(), second, CONFIG_FILE_MAX_LEN + 1);
        if (!first_read || !second_read) {
            // Missing or unreadable both times is a verdict; anything else is not.
            return !first_read && !second_read && errno == first_errno ? Verdict::Unusable
                                                                       : Verdict::Undecided;
        }
        const bool fits = second.size() <= static_cast<size_t>(CONFIG_FILE_MAX_LEN);
        if (fits && second.find('\0') == std::string::npos && apply_config_text(second.c_str()) == 1) {
            return Verdict::Usable;
        }
        return second == judged ? Verdict::Unusable : Verdict::Undecided;
    } catch (const std::exception &) {
        return Verdict::Undecided; // no memory to read it: nothing is judged
    }
}

int publish_status(const char *token)
{
    char pkt[STATUS_PKT_LEN] = {};
    if (create_pkt_without_data(pkt, 1, 0, 1, token) != 1) {
        return 0;
    }
    return MQTT_Publish_Data(0, pkt);
}

void publish_wrong_config()
{
    if (publish_status("WRNGCFG") != 1) {
        puts("OBD2_ERROR : Error while publishing wrong config error packet.");
    }
}

// An unusable configuration is tried again by the worker; the pause keeps it
// from spinning and from publishing "WRNGCFG" in a tight loop.
int unusable()
{
    gw_sleep_us(CONFIG_RETRY_PAUSE_US);
    return 0;
}

void trace_config()
{
    puts("=== CAN Config ===");
    printf("Padding: %d\n", g_can_padding);
    printf("Bitrate: %d\n", g_can_bitrate);
    puts("\n=== Live Sensors ===");
    for (int i = 0; i < g_live_sensor_count; ++i) {
        printf("Sensor %d: %s\n", i + 1, g_live_sensor_names[i]);
    }
    puts("\n=== DTC Names ===");
    for (int i = 0; i < g_dtc_count; ++i) {
        printf("DTC %d: %s\n", i + 1, g_dtc_names[i]);
    }
}

} // namespace

int obd2_config_step()
{
    if (parse_config_json(config_file_path()) == 0) {
        puts("OBD2_ERROR : Error while parsing json.");
        std::string judged;
        switch (judge_unusable_file(judged)) {
        case Verdict::Undecided:
            puts("OBD2 WARN: The configuration changed or could not be read again; it is read on the next "
                 "pass.");
            return unusable();
        case Verdict::Usable:
            puts("OBD2_INFO : The configuration read again is usable.");
            break;
        case Verdict::Unusable:
            if (keep_unusable_and_restore_factory_copy(judged)) {
                puts("Default config restored successfully.");
            } else {
                puts("OBD2_ERROR : Failed to restore default config file!");
            }
            publish_wrong_config();
            return unusable();
        }
    }
    trace_config();
    if (!is_standard_can_bitrate(g_can_bitrate)) {
        puts("OBD2_ERROR : Incorrect bitrate");
        publish_wrong_config();
        return unusable();
    }
    if (can_setup(CAN_INTERFACE, g_can_bitrate) != 1) {
        publish_status("CANERR");
        puts("OBD2_ERROR : CAN SETUP FAILED.");
        return unusable();
    }
    return 1;
}
