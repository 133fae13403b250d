// Line commands that change the running vehicle (from stdin or the control
// socket). Each command gets a reply: zero or more information lines, then a
// last line "ok" or "error: <reason>".
#pragma once

#include <string>
#include <vector>

#include "sim_engine.h"

namespace obdsim
{

struct Reply {
    std::vector<std::string> lines;
    bool ok = true;
    std::string error;
    std::string text() const; // every line, newline-terminated, ending with "ok"/"error: ..."
};

class Control
{
  public:
    explicit Control(Engine &engine) : engine_(engine) {}
    Reply execute(const std::string &line);
    bool quit_requested() const { return quit_; }

    static std::string help();

  private:
    Engine &engine_;
    bool quit_ = false;
    uint64_t random_state_ = 0x9E3779B97F4A7C15ull;
};

} // namespace obdsim
