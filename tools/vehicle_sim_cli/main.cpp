// obd-vehicle-sim: a simulated OBD-II vehicle for the bench.
//
//   obd-vehicle-sim --vehicle FILE.json --bus PATH  [--control PATH] [--quiet] [--no-stdin]
//   obd-vehicle-sim --vehicle FILE.json --can IFACE [--control PATH] [--quiet] [--no-stdin]
//   obd-vehicle-sim --vehicle FILE.json --check
//   obd-vehicle-sim --send PATH COMMAND...
//
// It answers the gateway's requests, prints every frame in a candump-like
// trace, and takes line commands (see 'help') on stdin and on the control
// socket. SIGINT/SIGTERM end it cleanly (sockets closed and removed).
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus_server.h"
#include "can_port.h"
#include "common/unique_fd.h"
#include "control.h"
#include "obdsim_bus_proto.h"
#include "vehicle_file.h"

namespace
{

constexpr int kExitUsage = 2;
constexpr int kExitRuntime = 1;
constexpr size_t kMaxLine = 4096;
constexpr int kSendTimeoutMs = 5000;

struct Options {
    std::string vehicle;
    std::string bus;
    std::string can;
    std::string control;
    bool check = false;
    bool quiet = false;
    bool no_stdin = false;
    std::string send_path;
    std::string send_command;
};

void usage(FILE *out)
{
    std::fputs("usage: obd-vehicle-sim --vehicle FILE.json (--bus PATH | --can IFACE) [--control PATH]\n"
               "                       [--quiet] [--no-stdin]\n"
               "       obd-vehicle-sim --vehicle FILE.json --check\n"
               "       obd-vehicle-sim --send CONTROL_PATH COMMAND...\n"
               "  --bus PATH      serve the UNIX-socket bus the SocketCAN preload library connects to\n"
               "                  (LD_PRELOAD=libobdsim_can_preload.so OBDSIM_BUS=PATH obd-gateway)\n"
               "  --can IFACE     answer on a real SocketCAN interface (vcan0, can0 of an adapter)\n"
               "  --control PATH  also take commands on this UNIX stream socket\n"
               "  --quiet         no frame trace (events and command replies only)\n"
               "  --no-stdin      do not read commands from standard input\n"
               "  --check         load the vehicle file, print what it holds, and exit\n"
               "  --send          send one command to a running simulator and print its reply\n\n",
               out);
    std::fputs(obdsim::Control::help().c_str(), out);
}

bool parse_args(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string &dst) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "obd-vehicle-sim: %s needs a value\n", a.c_str());
                return false;
            }
            dst = argv[++i];
            return true;
        };
        if (a == "--vehicle") {
            if (!value(o.vehicle))
                return false;
        } else if (a == "--bus") {
            if (!value(o.bus))
                return false;
        } else if (a == "--can") {
            if (!value(o.can))
                return false;
        } else if (a == "--control") {
            if (!value(o.control))
                return false;
        } else if (a == "--check") {
            o.check = true;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (a == "--no-stdin") {
            o.no_stdin = true;
        } else if (a == "--send") {
            if (!value(o.send_path))
                return false;
            for (++i; i < argc; ++i) {
                o.send_command += (o.send_command.empty() ? "" : " ") + std::string(argv[i]);
            }
            if (o.send_command.empty()) {
                std::fputs("obd-vehicle-sim: --send needs a command\n", stderr);
                return false;
            }
            return true;
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "obd-vehicle-sim: unknown option %s\n", a.c_str());
            return false;
        }
    }
    if (o.vehicle.empty()) {
        std::fputs("obd-vehicle-sim: --vehicle FILE.json is required\n", stderr);
        return false;
    }
    if (!o.check && o.bus.empty() == o.can.empty()) {
        std::fputs("obd-vehicle-sim: give exactly one of --bus PATH and --can IFACE\n", stderr);
        return false;
    }
    return true;
}

bool make_unix_addr(const std::string &path, sockaddr_un &addr)
{
    addr = sockaddr_un{};
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Client mode: one command to a running simulator, its reply on stdout.
int send_command(const std::string &path, const std::string &command)
{
    sockaddr_un addr;
    UniqueFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s || !make_unix_addr(path, addr) ||
        ::connect(s.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "obd-vehicle-sim: cannot reach %s: %s\n", path.c_str(), std::strerror(errno));
        return kExitUsage;
    }
    std::string line = command + "\n";
    if (::send(s.get(), line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        std::fprintf(stderr, "obd-vehicle-sim: send: %s\n", std::strerror(errno));
        return kExitRuntime;
    }
    std::string got;
    for (;;) {
        pollfd p{s.get(), POLLIN, 0};
        if (::poll(&p, 1, kSendTimeoutMs) <= 0) {
            std::fputs("obd-vehicle-sim: no reply\n", stderr);
            return kExitRuntime;
        }
        char buf[1024];
        ssize_t n = ::read(s.get(), buf, sizeof buf);
        if (n <= 0) {
            std::fputs("obd-vehicle-sim: connection closed before the reply ended\n", stderr);
            return kExitRuntime;
        }
        got.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = got.find('\n', start)) != std::string::npos; start = nl + 1) {
            std::string l = got.substr(start, nl - start);
            std::printf("%s\n", l.c_str());
            if (l == "ok") {
                return 0;
            }
            if (l.rfind("error:", 0) == 0) {
                return kExitRuntime;
            }
        }
        got.erase(0, start);
    }
}

// A line-oriented command source: stdin or one control connection.
struct LineSource {
    UniqueFd owned; // control connections; stdin is not owned
    int fd = -1;
    std::string pending;
    bool is_stdin = false;
};

class Simulator
{
  public:
    Simulator(const Options &o, obdsim::VehicleFile vf)
        : opts_(o), vehicle_(vf.model), tracer_(o.can.empty() ? obdsim::kBusIfName : o.can),
          engine_(vehicle_, tracer_), control_(engine_), name_(vf.name)
    {
        tracer_.set_frames(!o.quiet);
        vehicle_.set_chatter(vf.chatter);
    }

    ~Simulator()
    {
        if (control_listener_) {
            ::unlink(opts_.control.c_str());
        }
    }

    int run()
    {
        std::string error;
        if (!opts_.bus.empty()) {
            auto bus = std::make_unique<obdsim::BusServer>(engine_, opts_.bus);
            if (!bus->start(error)) {
                std::fprintf(stderr, "obd-vehicle-sim: %s\n", error.c_str());
                return kExitRuntime;
            }
            transport_ = std::move(bus);
        } else {
            auto port = std::make_unique<obdsim::CanPort>(engine_, opts_.can);
            if (!port->start(vehicle_.model(), error)) {
                std::fprintf(stderr, "obd-vehicle-sim: %s\n", error.c_str());
                return kExitRuntime;
            }
            transport_ = std::move(port);
        }
        engine_.set_transport(transport_.get());

        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        UniqueFd sigfd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
        if (!sigfd) {
            std::perror("obd-vehicle-sim: signalfd");
            return kExitRuntime;
        }
        ::signal(SIGPIPE, SIG_IGN);

        // The control socket comes last: once it exists the bus is listening,
        // so scripts may wait for it.
        if (!opts_.control.empty() && !start_control(error)) {
            std::fprintf(stderr, "obd-vehicle-sim: %s\n", error.c_str());
            return kExitRuntime;
        }
        if (!opts_.no_stdin) {
            LineSource in;
            in.fd = STDIN_FILENO;
            in.is_stdin = true;
            sources_.push_back(std::move(in));
        }

        tracer_.event("vehicle " + (name_.empty() ? opts_.vehicle : name_) + " on " + transport_->describe() +
                      (opts_.control.empty() ? "" : ", commands on " + opts_.control));
        for (const auto &l : control_.execute("status").lines) {
            tracer_.event(l);
        }

        while (!control_.quit_requested()) {
            int timeout = engine_.run_due();
            std::vector<pollfd> fds;
            std::vector<std::function<void(short)>> handlers;
            bool stop = false;
            fds.push_back(pollfd{sigfd.get(), POLLIN, 0});
            handlers.emplace_back([&](short) {
                signalfd_siginfo si{};
                if (::read(sigfd.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                    tracer_.event(std::string("signal ") + strsignal(static_cast<int>(si.ssi_signo)) +
                                  ", stopping");
                    stop = true;
                }
            });
            if (control_listener_) {
                fds.push_back(pollfd{control_listener_.get(), POLLIN, 0});
                handlers.emplace_back([this](short) { accept_control(); });
            }
            for (size_t i = 0; i < sources_.size(); ++i) {
                fds.push_back(pollfd{sources_[i].fd, POLLIN, 0});
                int fd = sources_[i].fd;
                handlers.emplace_back([this, fd](short) { read_source(fd); });
            }
            transport_->collect(fds, handlers);

            int rc = ::poll(fds.data(), fds.size(), timeout);
            if (rc < 0 && errno != EINTR) {
                std::perror("obd-vehicle-sim: poll");
                return kExitRuntime;
            }
            for (size_t i = 0; rc > 0 && i < fds.size(); ++i) {
                if (fds[i].revents) {
                    handlers[i](fds[i].revents);
                }
            }
            if (stop) {
                break;
            }
        }
        return 0;
    }

  private:
    bool start_control(std::string &error)
    {
        sockaddr_un addr;
        if (!make_unix_addr(opts_.control, addr)) {
            error = "control socket path too long";
            return false;
        }
        struct stat st {
        };
        if (::lstat(opts_.control.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) {
                error = opts_.control + " exists and is not a socket";
                return false;
            }
            ::unlink(opts_.control.c_str());
        }
        UniqueFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!s || ::bind(s.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(s.get(), 8) != 0) {
            error = "control socket " + opts_.control + ": " + std::strerror(errno);
            return false;
        }
        control_listener_ = std::move(s);
        return true;
    }

    void accept_control()
    {
        int fd;
        while ((fd = ::accept4(control_listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >=
               0) {
            LineSource src;
            src.owned.reset(fd);
            src.fd = fd;
            sources_.push_back(std::move(src));
        }
    }

    void reply(LineSource &src, const obdsim::Reply &r)
    {
        std::string text = r.text();
        if (src.is_stdin) {
            std::fputs(text.c_str(), stdout);
            std::fflush(stdout);
            return;
        }
        // Replies are short; a client that does not read them loses them.
        ssize_t n = ::send(src.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)n;
    }

    void read_source(int fd)
    {
        size_t idx = 0;
        while (idx < sources_.size() && sources_[idx].fd != fd) {
            ++idx;
        }
        if (idx == sources_.size()) {
            return;
        }
        char buf[1024];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                return;
            }
            // End of stdin (e.g. </dev/null) is not a reason to stop serving.
            sources_.erase(sources_.begin() + static_cast<long>(idx));
            return;
        }
        LineSource &src = sources_[idx];
        src.pending.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = src.pending.find('\n', start)) != std::string::npos; start = nl + 1) {
            std::string line = src.pending.substr(start, nl - start);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (line.find_first_not_of(" \t") == std::string::npos ||
                line[line.find_first_not_of(" \t")] == '#') {
                continue;
            }
            tracer_.event("command: " + line);
            reply(src, control_.execute(line));
        }
        src.pending.erase(0, start);
        if (src.pending.size() > kMaxLine) {
            reply(src, obdsim::Reply{{}, false, "line too long"});
            src.pending.clear();
        }
    }

    const Options &opts_;
    vsim::Vehicle vehicle_;
    obdsim::Tracer tracer_;
    obdsim::Engine engine_;
    obdsim::Control control_;
    std::string name_;
    std::unique_ptr<obdsim::Transport> transport_;
    UniqueFd control_listener_;
    std::vector<LineSource> sources_;
};

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parse_args(argc, argv, o)) {
        usage(stderr);
        return kExitUsage;
    }
    if (!o.send_path.empty()) {
        return send_command(o.send_path, o.send_command);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string error;
    auto vf = obdsim::load_vehicle_file(o.vehicle, error);
    if (!vf) {
        std::fprintf(stderr, "obd-vehicle-sim: %s\n", error.c_str());
        return kExitUsage;
    }
    if (o.check) {
        vsim::Vehicle v(vf->model);
        obdsim::Tracer t("-");
        obdsim::Engine e(v, t);
        obdsim::Control c(e);
        std::printf("%s: %s, %zu ECU(s)\n", o.vehicle.c_str(),
                    vf->name.empty() ? "(no name)" : vf->name.c_str(), vf->model.ecus.size());
        for (const auto &l : c.execute("status").lines) {
            std::printf("%s\n", l.c_str());
        }
        return 0;
    }
    Simulator sim(o, std::move(*vf));
    return sim.run();
}
