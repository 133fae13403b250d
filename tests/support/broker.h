// A private mosquitto broker on 127.0.0.1:1883 for tests that run inside their
// own network namespace (tests/netns_run.sh).
#pragma once

#include <netinet/in.h>

#include <string>
#include <utility>

#include "support/child_process.h"

class TestBroker
{
  public:
    // `extra_config`: further mosquitto.conf lines, each ending in a newline.
    explicit TestBroker(std::string extra_config = {}) : extra_config_(std::move(extra_config)) {}
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
    std::string extra_config_;
};

// 127.0.0.1:port.
sockaddr_in loopback_address(int port);
