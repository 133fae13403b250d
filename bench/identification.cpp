// Times a full vehicle identification (4 InfoTypes + the 56-PID probe) against
// an in-process vehicle that answers at once, the same with a second ECU that
// answers everything too (identification takes the engine's answers only), and
// the probe against a vehicle that answers no PID.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "th_mqtt/mqtt_msg.h"
#include "th_obd2_com/ecu_list.h"
#include "th_obd2_com/obd2_config.h"
#include "th_obd2_com/pid_probe.h"
#include "th_obd2_com/vehicle_info.h"
#include "vehicle_sim.h"

namespace
{

using Clock = std::chrono::steady_clock;

int accept_publish(int, const char *)
{
    return 1;
}

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The trace is written as in the product, but to /dev/null so the terminal
// does not dominate the figures.
class QuietStdout
{
  public:
    QuietStdout()
    {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

  private:
    int saved_ = -1;
};

vsim::VehicleModel answering_vehicle()
{
    vsim::EcuModel ecu;
    ecu.vin = "1HGCM82633A004352";
    ecu.calid = "CAL0123456789ABC";
    ecu.cvn = {0x12, 0xAB, 0x34, 0xCD};
    ecu.ecu_name = "ECM-EngineControl";
    for (uint8_t pid : g_probe_pid_list) {
        ecu.pids[pid] = {0x12, 0x34};
    }
    vsim::VehicleModel model;
    model.ecus.push_back(ecu);
    return model;
}

void report(const char *what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::fprintf(stderr, "%-44s runs %2zu  min %8.2f ms  median %8.2f ms  max %8.2f ms\n", what, ms.size(),
                 ms.front(), ms[ms.size() / 2], ms.back());
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    g_can_padding = 0xAA;
    mqtt_test_set_publish_hook(accept_publish);

    std::vector<double> full;
    int bad = 0;
    {
        vsim::InProcessBus bus(answering_vehicle());
        bus.attach();
        for (int i = 0; i < runs; ++i) {
            QuietStdout quiet;
            const auto start = Clock::now();
            const int info = get_vehicle_info(1);
            const int probe = get_supported_pid_list(1);
            full.push_back(ms_since(start));
            const bool all = std::all_of(g_pid_availability, g_pid_availability + PID_PROBE_COUNT,
                                         [](int f) { return f == 1; });
            if (info != 1 || g_vehicle_info_count != 4 || probe != 1 || !all) {
                ++bad;
            }
        }
    }
    report("identification, vehicle answering at once", full);

    std::vector<double> two_ecus;
    {
        vsim::VehicleModel model = answering_vehicle();
        vsim::EcuModel tcm = model.ecus[0];
        tcm.response_id = 0x7E9;
        tcm.physical_id = 0x7E1;
        tcm.ecu_name = "TCM-Transmission";
        model.ecus.push_back(tcm);
        vsim::InProcessBus bus(model);
        bus.attach();
        g_ecu_list[0] = {0x7E8, 1};
        g_ecu_list[1] = {0x7E9, 1};
        g_ecu_count = 2;
        for (int i = 0; i < runs; ++i) {
            QuietStdout quiet;
            EcuScope engine(g_ecu_list[0]);
            const auto start = Clock::now();
            const int info = get_vehicle_info(1);
            const int probe = get_supported_pid_list(1);
            two_ecus.push_back(ms_since(start));
            const bool all = std::all_of(g_pid_availability, g_pid_availability + PID_PROBE_COUNT,
                                         [](int f) { return f == 1; });
            if (info != 1 || g_vehicle_info_count != 4 || probe != 1 || !all) {
                ++bad;
            }
        }
    }
    report("identification, engine of two ECUs", two_ecus);

    std::vector<double> silent_ms;
    {
        vsim::EcuModel silent;
        silent.silent = true;
        vsim::VehicleModel model;
        model.ecus.push_back(silent);
        vsim::InProcessBus bus(model);
        bus.attach();
        for (int i = 0; i < 3; ++i) {
            QuietStdout quiet;
            const auto start = Clock::now();
            get_supported_pid_list(1);
            silent_ms.push_back(ms_since(start));
        }
    }
    report("PID probe, vehicle answering no PID", silent_ms);

    mqtt_test_set_publish_hook(nullptr);
    if (bad != 0) {
        std::fprintf(stderr, "%d identification runs did not read every item and PID\n", bad);
        return 1;
    }
    return 0;
}
