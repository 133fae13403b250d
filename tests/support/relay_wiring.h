// Wiring of the relays DO0..DO11 onto GPIO chips and lines, written out
// independently of the product's tables, for the relay tests.
#pragma once

#include <map>
#include <set>
#include <string>

#include "th_gpio/gpio_lines.h"

struct RelayLine {
    int chip;
    unsigned int offset;
};

constexpr RelayLine kRelay[DO_COUNT] = {{4, 10}, {4, 11}, {3, 31}, {4, 0},  {3, 27}, {3, 26},
                                        {4, 14}, {3, 25}, {4, 13}, {0, 20}, {0, 21}, {0, 13}};

// Relay i's line as the stand-in libgpiod names it: "gpiochip4:10".
inline std::string relay_line_name(int i)
{
    return "gpiochip" + std::to_string(kRelay[i].chip) + ":" + std::to_string(kRelay[i].offset);
}

// Every relay line's level with the relays in `on` switched on (the drive is inverted).
inline std::map<std::string, int> relay_levels(const std::set<int> &on)
{
    std::map<std::string, int> levels;
    for (int i = 0; i < DO_COUNT; ++i) {
        levels[relay_line_name(i)] = on.count(i) ? 0 : 1;
    }
    return levels;
}

// A relay command text with these "DOn":value members.
inline std::string do_command(const std::string &do_body)
{
    return R"({"TYP":2,"DATA":{"params":{"DO":{)" + do_body + "}}}}";
}
