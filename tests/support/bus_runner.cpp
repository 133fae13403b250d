#include "support/bus_runner.h"

#include <chrono>

#include "support/test_clock.h"
#include "th_mqtt/mqtt_link.h"

BusWorkerRunner::BusWorkerRunner()
{
    mqtt_worker_start();
    thread_ = std::thread([this] {
        while (!stop_.load()) {
            mqtt_run_state_pass();
        }
    });
}

void BusWorkerRunner::stop()
{
    if (!thread_.joinable()) {
        return;
    }
    stop_.store(true);
    thread_.join();
    // Leave no client behind for the next test of the same process.
    MQTT_Disconnect();
}

bool wait_for_link_state(int state, int timeout_ms)
{
    return wait_until([state] { return giMQTTState.load() == state; }, std::chrono::milliseconds(timeout_ms));
}
