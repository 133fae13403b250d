// Where the gateway and its clients (the UI application, obd-gateway-cli) meet.
// Macros: the daemon's settings keep the topics in character arrays.
#pragma once

#define OBDGW_BROKER_HOST "127.0.0.1"
#define OBDGW_BROKER_PORT 1883
#define OBDGW_RESPONSE_TOPIC "dt/app_to_ui/resp"
#define OBDGW_COMMAND_TOPIC "dt/ui_to_app/cmd"
