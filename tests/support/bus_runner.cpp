#include "support/bus_runner.h"

#include <chrono>

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

BusWorkerRunner::~BusWorkerRunner()
{
    stop();
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
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (giMQTTState.load() == state) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return giMQTTState.load() == state;
}
