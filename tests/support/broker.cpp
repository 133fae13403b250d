#include "support/broker.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

bool tcp_port_open(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

TestBroker::~TestBroker()
{
    stop();
    if (!dir_.empty()) {
        unlink((dir_ + "/mosquitto.conf").c_str());
        rmdir(dir_.c_str());
    }
}

bool TestBroker::start()
{
    if (pid_ > 0) {
        return true;
    }
    if (dir_.empty()) {
        char tmpl[] = "/tmp/obdgw-broker-XXXXXX";
        if (!mkdtemp(tmpl)) {
            return false;
        }
        dir_ = tmpl;
        std::string conf = dir_ + "/mosquitto.conf";
        FILE *f = fopen(conf.c_str(), "w");
        if (!f) {
            return false;
        }
        fprintf(f, "listener 1883 127.0.0.1\nallow_anonymous true\npersistence false\n"
                   "log_dest none\n");
        fputs(extra_config_.c_str(), f);
        fclose(f);
    }
    std::string conf = dir_ + "/mosquitto.conf";
    pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    pid_ = pid;
    for (int i = 0; i < 500; ++i) {
        if (tcp_port_open(1883)) {
            return true;
        }
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    return false;
}

void TestBroker::stop()
{
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
}
