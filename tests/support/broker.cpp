#include "support/broker.h"

#include <sys/socket.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/atomic_file.h"
#include "common/unique_fd.h"

sockaddr_in loopback_address(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// True when something accepts TCP connections on 127.0.0.1:port.
static bool tcp_port_open(int port)
{
    UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = loopback_address(port);
    return s && connect(s.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
}

TestBroker::~TestBroker()
{
    stop();
    if (!dir_.empty()) {
        std::filesystem::remove_all(dir_);
    }
}

bool TestBroker::start()
{
    if (process_.running()) {
        return true;
    }
    if (dir_.empty()) {
        char tmpl[] = "/tmp/obdgw-broker-XXXXXX";
        if (!mkdtemp(tmpl)) {
            return false;
        }
        dir_ = tmpl;
        const std::string conf = "listener 1883 127.0.0.1\nallow_anonymous true\npersistence false\n"
                                 "log_dest none\nset_tcp_nodelay true\n" +
                                 extra_config_;
        if (!gw_write_file_atomic((dir_ + "/mosquitto.conf").c_str(), conf.data(), conf.size())) {
            return false;
        }
    }
    if (!process_.start({"mosquitto", "-c", dir_ + "/mosquitto.conf"}, {}, dir_ + "/mosquitto.log", true)) {
        return false;
    }
    for (int i = 0; i < 500; ++i) {
        if (tcp_port_open(1883)) {
            return true;
        }
        if (!process_.running()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    return false;
}

void TestBroker::stop()
{
    process_.stop(SIGTERM);
}
