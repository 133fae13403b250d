// A private mosquitto broker on 127.0.0.1:1883 for tests that run inside their
// own network namespace (tests/netns_run.sh).
#pragma once

#include <string>

#include "support/child_process.h"

class TestBroker
{
  public:
    TestBroker() = default;
    ~TestBroker();
    TestBroker(const TestBroker &) = delete;
    TestBroker &operator=(const TestBroker &) = delete;

    // Starts mosquitto and waits until it accepts connections. Returns false on failure.
    bool start();
    // Stops it (SIGTERM, then waits).
    void stop();
    bool running() { return process_.running(); }

  private:
    ChildProcess process_;
    std::string dir_;
};

// True when something accepts TCP connections on 127.0.0.1:port.
bool tcp_port_open(int port);
