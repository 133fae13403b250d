// A running obd-vehicle-sim --bus with a control socket, and probes (plain
// SocketCAN programs under the preload library) on its bus, for the tool tests.
// With OBDSIM_TEST_CAN=IFACE (the kernel scenarios' guest) the simulator and
// the probes use that real SocketCAN interface instead, without the preload
// library, so the same tables check the kernel the bus imitates.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <iostream>
#include <memory>
#include <thread>

#include "common/atomic_file.h"
#include "support/test_clock.h"
#include "tool_process.h"

namespace tooltest
{

constexpr int kStartMs = 5000;
constexpr int kProbeMs = 5000;

inline std::string slurp(const std::string &path)
{
    std::string text;
    gw_read_file(path.c_str(), text);
    return text;
}

// The built simulator and a scratch directory of the test's own.
class SimTool : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_FALSE(sim_path_.empty()) << "OBDGW_BUILD_DIR is not set";
        ASSERT_EQ(access(sim_path_.c_str(), X_OK), 0) << sim_path_;
        char tmpl[] = "/tmp/obdsim-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }

    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    const std::string sim_path_ = built("tools/vehicle_sim_cli/obd-vehicle-sim");
    std::string dir_;
};

class SimBus : public SimTool
{
  protected:
    // The vehicle the simulator starts with (a file of tools/vehicles).
    virtual std::string vehicle() const { return "tools/vehicles/petrol_11bit.json"; }

    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(SimTool::SetUp());
        ASSERT_EQ(access(probe_path_.c_str(), X_OK), 0) << probe_path_;
        ASSERT_EQ(access(preload_.c_str(), R_OK), 0) << preload_;
        bus_ = dir_ + "/bus";
        ctl_ = dir_ + "/ctl";
        sim_ = std::make_unique<ToolProcess>(
            std::vector<std::string>{sim_path_, "--vehicle", source(vehicle()),
                                     can_.empty() ? "--bus" : "--can", can_.empty() ? bus_ : can_,
                                     "--control", ctl_, "--no-stdin"},
            std::vector<std::string>{}, dir_ + "/sim.log");
        ASSERT_TRUE(wait_until([&] { return static_cast<bool>(connected(ctl_)); },
                               std::chrono::milliseconds(kStartMs)))
            << slurp(dir_ + "/sim.log") << sim_->err();
    }

    void TearDown() override
    {
        if (sim_ && sim_->running()) {
            // A clean stop: SIGTERM ends it with status 0 and removes its sockets.
            sim_->signal(SIGTERM);
            EXPECT_EQ(sim_->wait(kStartMs), 0) << sim_->err();
            struct stat st;
            EXPECT_NE(lstat(bus_.c_str(), &st), 0) << "bus socket left behind";
            EXPECT_NE(lstat(ctl_.c_str(), &st), 0) << "control socket left behind";
        }
        if (HasFailure()) {
            std::cout << "---- simulator trace\n" << slurp(dir_ + "/sim.log");
        }
        SimTool::TearDown();
    }

    std::vector<std::string> probe_env(const std::string &bus) const
    {
        if (on_kernel()) {
            return {};
        }
        std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
        if (const char *a = std::getenv("ASAN_OPTIONS")) {
            asan += std::string(":") + a;
        }
        return {"LD_PRELOAD=" + preload_, "OBDSIM_BUS=" + bus, "OBDSIM_IP_LOG=" + dir_ + "/ip.log", asan};
    }

    std::unique_ptr<ToolProcess> probe(std::vector<std::string> args, const std::string &bus = "")
    {
        args.insert(args.begin(), probe_path_);
        return std::make_unique<ToolProcess>(args, probe_env(bus.empty() ? bus_ : bus));
    }

    // Starts a probe and waits until its socket is bound.
    std::unique_ptr<ToolProcess> ready_probe(std::vector<std::string> args)
    {
        auto p = probe(std::move(args));
        std::string line;
        EXPECT_TRUE(p->read_line(line, kStartMs)) << p->err();
        EXPECT_EQ(line, "ready") << p->err();
        return p;
    }

    // What a probe received, in order, after it ended.
    static std::vector<std::string> received(ToolProcess &p, int expect_status = 0)
    {
        EXPECT_EQ(p.wait(kProbeMs), expect_status) << p.err();
        std::vector<std::string> rx;
        for (auto &l : p.lines()) {
            if (l.rfind("rx ", 0) == 0) {
                rx.push_back(l.substr(3));
            }
        }
        return rx;
    }

    std::string control(const std::string &cmd) { return tooltest::control(ctl_, cmd); }

    bool on_kernel() const { return !can_.empty(); }

    // Waits until a frame a probe wrote is on the bus. The simulator's trace
    // shows it on the preload bus; on a real interface its receive filters may
    // keep the frame away, and the kernel has delivered it by now anyway.
    bool frame_on_bus(const std::string &trace_needle, int count)
    {
        if (on_kernel()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return true;
        }
        return wait_trace(trace_needle, count);
    }

    // Waits until the simulator's trace holds `needle` at least `count` times.
    bool wait_trace(const std::string &needle, int count)
    {
        const auto seen = [&] {
            const std::string t = slurp(dir_ + "/sim.log");
            int n = 0;
            for (size_t pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + 1)) {
                ++n;
            }
            return n >= count;
        };
        return wait_until(seen, std::chrono::milliseconds(kStartMs));
    }

    const std::string probe_path_ = built("tools/can_preload/obdsim-can-probe");
    const std::string preload_ = built("tools/can_preload/libobdsim_can_preload.so");
    const std::string can_ = std::getenv("OBDSIM_TEST_CAN") ? std::getenv("OBDSIM_TEST_CAN") : "";
    std::string bus_, ctl_;
    std::unique_ptr<ToolProcess> sim_;
};

} // namespace tooltest
