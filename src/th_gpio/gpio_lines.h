// The twelve relay lines: mapping onto GPIO chips, request, drive and release.
#pragma once

#include <gpiod.h>

#include <array>
#include <cstddef>

constexpr int DO_COUNT = 12;

extern int g_arr_do_states[DO_COUNT];

extern const unsigned int gpiochip4_lines[5];
extern const int chip4_state_idx[5];
extern const unsigned int gpiochip3_lines[4];
extern const int chip3_state_idx[4];
extern const unsigned int gpiochip0_lines[3];
extern const int chip0_state_idx[3];

extern gpiod_chip *chip4;
extern gpiod_chip *chip3;
extern gpiod_chip *chip0;
extern gpiod_line_request *req_chip4;
extern gpiod_line_request *req_chip3;
extern gpiod_line_request *req_chip0;

gpiod_line_request *init_chip(gpiod_chip *chip, const unsigned int *offsets, size_t count,
                              const int *state_idx, const char *consumer);
int gpio_init();
int control_do_over_gpio();
void gpio_close();
// True while all three line requests are held (only then may lines be driven).
bool gpio_lines_held();
