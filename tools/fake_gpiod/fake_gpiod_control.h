// Control side of the stand-in libgpiod (fake_gpiod.cpp): lets tests shape the
// simulated chips and read back what the code under test did to them.
//
// Simulated devices: /dev/gpiochip0, /dev/gpiochip3, /dev/gpiochip4, 32 lines each.
// Chips are named by their number (0, 3 or 4) here.
//
// Outside the process (the shared build, LD_PRELOADed into the daemon):
//   FAKE_GPIOD_MISSING       chips that do not exist, e.g. "gpiochip0,gpiochip3"
//   FAKE_GPIOD_BUSY          lines held by another consumer, e.g. "gpiochip0:13,gpiochip4:10"
//   FAKE_GPIOD_CONTROL_FILE  file re-read on every chip open and line request; lines
//                            "missing gpiochip0" and "busy gpiochip0:13" (added to the above)
//   FAKE_GPIOD_STATE_FILE    rewritten (atomically) on every change of a line: one line per
//                            line that is requested or driven as output:
//                            "gpiochip4 10 output 1 do_ctrl_chip4" (chip, offset, direction,
//                            level, consumer or "-" when free)
#pragma once

#include <gpiod.h>

#include <string>
#include <vector>

namespace fake_gpiod
{

struct SetValuesCall {
    int chip = -1;
    std::vector<unsigned int> offsets; // in request order
    std::vector<int> values;           // same order
};

// Back to power-on: all chips present, lines free inputs at level 0, logs and
// counters cleared. Objects still live are forgotten (a later use counts as misuse).
void reset();

void set_chip_missing(int chip, bool missing);
// Marks a line as held by another consumer; a null consumer frees it again.
void set_line_used(int chip, unsigned int offset, const char *consumer);

// Level of a line (0 or 1); -1 for an unknown chip or offset.
int line_value(int chip, unsigned int offset);
gpiod_line_direction line_direction(int chip, unsigned int offset);
// Consumer label of whoever holds the line, empty when free.
std::string line_consumer(int chip, unsigned int offset);

// Number of libgpiod objects created and not yet freed, closed or released.
int live_objects();
// Every contract violation seen (double release, use after free, unknown
// handle, direction not output, duplicate offset, ...), one text each.
std::vector<std::string> misuse();
// Every successful gpiod_line_request_set_values call, in order.
std::vector<SetValuesCall> set_values_calls();
// Chip and request life cycle in order: "open gpiochip4", "request gpiochip4",
// "release gpiochip4", "close gpiochip4" (successful calls only).
std::vector<std::string> events();
// Forgets the set-values calls and events logged so far, and the memory they
// held: a long run that looks only at line levels stays flat.
void clear_logs();

// Makes the allocating call number `n` (0 = the next one) among gpiod_chip_open,
// the *_new functions and gpiod_chip_request_lines fail with ENOMEM; -1 disables.
void fail_allocation_after(int n);

} // namespace fake_gpiod
