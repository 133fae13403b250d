// A private mosquitto broker on 127.0.0.1:1883 for tests that run inside their
// own network namespace (tests/netns_run.sh).
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>

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
    bool running() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
    std::string dir_;
    std::string extra_config_;
};

// True when something accepts TCP connections on 127.0.0.1:port.
bool tcp_port_open(int port);
