// Inbound routing of a command-topic payload, then what each worker does with
// the text handed over: the OBD command scan and the relay packet parser.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "th_gpio/gpio_lines.h"
#include "th_gpio/gpio_worker.h"
#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/obd2_state.h"
#include "th_obd2_com/obd2_worker.h"

namespace
{

// An action command may only come from a text that names exactly that number
// after its first "CMD" key.
void check_command_scan(const char *text, int cmd)
{
    if (cmd != 1 && cmd != 2 && cmd != 4 && cmd != 10) {
        return;
    }
    const char *p = strstr(text, "\"CMD\"");
    fuzz_require(p != nullptr, "command %d without a CMD key", cmd);
    p += 5;
    p += strspn(p, ": \t\n\v\f\r");
    const long long named = strtoll(p, nullptr, 10);
    fuzz_require(named == cmd, "command %d scanned from a text naming %lld", cmd, named);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    obd2_test_reset_handover(OBD2_STATE_IDLE);
    gpio_test_reset_worker();
    std::fill(std::begin(g_arr_do_states), std::end(g_arr_do_states), 0);

    // As the message callback copies it: at most MQTT_INBOUND_MAX bytes, NUL-terminated.
    const std::string text(reinterpret_cast<const char *>(data), std::min(size, MQTT_INBOUND_MAX));
    handle_incoming_packet(text.c_str());

    if (obd2_command_pending()) {
        check_command_scan(text.c_str(), parse_received_cmd());
        fuzz_require(!obd2_command_pending(), "the scan left the command it parsed");
    }
    if (gpio_pending_commands() > 0) {
        // The relay worker parses exactly the text that was queued.
        parse_do_packet(text.c_str());
        for (int s : g_arr_do_states) {
            fuzz_require(s == 0 || s == 1, "relay state %d", s);
        }
    }
    return 0;
}
