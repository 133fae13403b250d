// Wiring of the relays DO0..DO11 onto GPIO chips and lines, written out
// independently of the product's tables, for the relay tests.
#pragma once

#include <string>
#include <vector>

#include "th_gpio/gpio_lines.h"

struct RelayLine {
    int chip;
    unsigned int offset;
};

constexpr RelayLine kRelay[DO_COUNT] = {{4, 10}, {4, 11}, {3, 31}, {4, 0},  {3, 27}, {3, 26},
                                        {4, 14}, {3, 25}, {4, 13}, {0, 20}, {0, 21}, {0, 13}};

inline std::string joined(const std::vector<std::string> &v)
{
    std::string s;
    for (const auto &x : v) {
        s += x + "; ";
    }
    return s;
}
