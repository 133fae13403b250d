// Runs the bus worker's state machine on a thread of the test, stoppable.
#pragma once

#include <atomic>
#include <thread>

class BusWorkerRunner
{
  public:
    BusWorkerRunner();
    ~BusWorkerRunner() { stop(); }
    void stop();

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Waits until the link state equals `state`; false on time-out.
bool wait_for_link_state(int state, int timeout_ms);
