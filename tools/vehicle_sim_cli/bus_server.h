// The UNIX-socket CAN bus served by obd-vehicle-sim --bus PATH. Each client
// connection stands for one raw CAN socket on can0 (normally opened through
// the preload library). The server keeps every client's bind state, receive
// filters, error mask and loopback options, and delivers each frame only to
// the clients the kernel would deliver it to.
#pragma once

#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "raw_socket_rules.h"
#include "sim_engine.h"

namespace obdsim
{

class BusServer : public Transport
{
  public:
    BusServer(Engine &engine, std::string path);
    ~BusServer() override;
    BusServer(const BusServer &) = delete;
    BusServer &operator=(const BusServer &) = delete;

    // Binds and listens; false with `error` set on failure.
    bool start(std::string &error);

    void transmit(const can_frame &f, const std::string &note) override;
    bool transmit_raw(const std::vector<uint8_t> &bytes) override;
    void collect(std::vector<pollfd> &fds, std::vector<std::function<void(short)>> &handlers) override;
    std::string describe() const override;

    size_t client_count() const { return clients_.size(); }

  private:
    struct Client {
        int id = 0;
        UniqueFd fd;
        bool bound = false;
        int ifindex = 0; // 0: bound to every interface
        RawSocketOptions options;
        uint64_t dropped = 0; // frames lost to a full receive queue
    };

    void accept_clients();
    void read_client(size_t index);
    void handle_control(Client &c, const uint8_t *data, size_t len);
    void deliver(Client &c, const can_frame &f);

    Engine &engine_;
    std::string path_;
    UniqueFd listener_;
    std::vector<Client> clients_;
    int next_id_ = 1;
    bool link_up_ = true;
};

} // namespace obdsim
