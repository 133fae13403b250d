#include "th_gpio/gpio_lines.h"

#include <cerrno>
#include <cstdio>
#include <iterator>
#include <memory>

int g_arr_do_states[DO_COUNT];

// Per chip, in request order: line offsets and the relay each one drives.
// Offset 13 appears on two chips (DO8, DO11): the tables must stay per chip.
const unsigned int gpiochip4_lines[5] = {10, 11, 0, 14, 13};
const int chip4_state_idx[5] = {0, 1, 3, 6, 8};
const unsigned int gpiochip3_lines[4] = {31, 27, 26, 25};
const int chip3_state_idx[4] = {2, 4, 5, 7};
const unsigned int gpiochip0_lines[3] = {20, 21, 13};
const int chip0_state_idx[3] = {9, 10, 11};

gpiod_chip *chip4 = nullptr;
gpiod_chip *chip3 = nullptr;
gpiod_chip *chip0 = nullptr;
gpiod_line_request *req_chip4 = nullptr;
gpiod_line_request *req_chip3 = nullptr;
gpiod_line_request *req_chip0 = nullptr;

namespace
{

// A chip has 32 lines; no request of ours can be larger.
constexpr size_t MAX_LINES_PER_CHIP = 32;

template <auto FreeFn> struct GpiodFree {
    template <class T> void operator()(T *p) const noexcept { FreeFn(p); }
};
using LineSettingsPtr = std::unique_ptr<gpiod_line_settings, GpiodFree<gpiod_line_settings_free>>;
using LineConfigPtr = std::unique_ptr<gpiod_line_config, GpiodFree<gpiod_line_config_free>>;
using RequestConfigPtr = std::unique_ptr<gpiod_request_config, GpiodFree<gpiod_request_config_free>>;

// Handles are cleared as they go, so nothing is ever released twice.
void release_request(gpiod_line_request *&req)
{
    if (req != nullptr) {
        gpiod_line_request_release(req);
        req = nullptr;
    }
}

void close_chip(gpiod_chip *&chip)
{
    if (chip != nullptr) {
        gpiod_chip_close(chip);
        chip = nullptr;
    }
}

// Undoes a failed gpio_init on every return path: requests first, then the
// chips in reverse opening order. Dismissed once all lines are held.
class InitRollback
{
  public:
    InitRollback() = default;
    InitRollback(const InitRollback &) = delete;
    InitRollback &operator=(const InitRollback &) = delete;
    ~InitRollback()
    {
        if (armed_) {
            release_request(req_chip4);
            release_request(req_chip3);
            release_request(req_chip0);
            close_chip(chip0);
            close_chip(chip3);
            close_chip(chip4);
        }
    }
    void dismiss() { armed_ = false; }

  private:
    bool armed_ = true;
};

bool valid_chip_table(const unsigned int *offsets, size_t count, const int *state_idx)
{
    if (offsets == nullptr || state_idx == nullptr || count == 0 || count > MAX_LINES_PER_CHIP) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (state_idx[i] < 0 || state_idx[i] >= DO_COUNT) {
            return false;
        }
    }
    return true;
}

// Relay on pulls its line low: the drive is inverted.
gpiod_line_value line_value_for(int relay_state)
{
    return relay_state == 0 ? GPIOD_LINE_VALUE_ACTIVE : GPIOD_LINE_VALUE_INACTIVE;
}

void drive_chip(gpiod_line_request *req, const int *state_idx, size_t count)
{
    if (req == nullptr) {
        return; // lines not held are never touched
    }
    gpiod_line_value values[MAX_LINES_PER_CHIP];
    for (size_t i = 0; i < count; ++i) {
        values[i] = line_value_for(g_arr_do_states[state_idx[i]]);
    }
    // A failed set leaves the commanded states as they are; the next command drives again.
    (void)gpiod_line_request_set_values(req, values);
}

} // namespace

gpiod_line_request *init_chip(gpiod_chip *chip, const unsigned int *offsets, size_t count,
                              const int *state_idx, const char *consumer)
{
    if (chip == nullptr || !valid_chip_table(offsets, count, state_idx)) {
        errno = EINVAL;
        return nullptr;
    }
    gpiod_line_value initial[MAX_LINES_PER_CHIP];
    for (size_t i = 0; i < count; ++i) {
        g_arr_do_states[state_idx[i]] = 0;
        initial[i] = line_value_for(0);
    }

    // Declared in reverse of the freeing order: request config, line config, settings.
    LineSettingsPtr settings(gpiod_line_settings_new());
    if (!settings || gpiod_line_settings_set_direction(settings.get(), GPIOD_LINE_DIRECTION_OUTPUT) != 0) {
        return nullptr;
    }
    LineConfigPtr line_cfg(gpiod_line_config_new());
    if (!line_cfg) {
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        if (gpiod_line_config_add_line_settings(line_cfg.get(), &offsets[i], 1, settings.get()) != 0) {
            return nullptr;
        }
    }
    if (gpiod_line_config_set_output_values(line_cfg.get(), initial, count) != 0) {
        return nullptr;
    }
    RequestConfigPtr req_cfg(gpiod_request_config_new());
    if (!req_cfg) {
        return nullptr;
    }
    gpiod_request_config_set_consumer(req_cfg.get(), consumer);
    return gpiod_chip_request_lines(chip, req_cfg.get(), line_cfg.get());
}

int gpio_init()
{
    // A repeated call starts from nothing held rather than leaking the old handles.
    gpio_close();
    InitRollback rollback;

    chip4 = gpiod_chip_open("/dev/gpiochip4");
    if (chip4 == nullptr) {
        perror("DO_ERROR: Failed to open gpiochip4");
        return 0;
    }
    chip3 = gpiod_chip_open("/dev/gpiochip3");
    if (chip3 == nullptr) {
        perror("DO_ERROR: Failed to open gpiochip3");
        return 0;
    }
    chip0 = gpiod_chip_open("/dev/gpiochip0");
    if (chip0 == nullptr) {
        perror("DO_ERROR: Failed to open gpiochip0");
        return 0;
    }
    req_chip4 =
        init_chip(chip4, gpiochip4_lines, std::size(gpiochip4_lines), chip4_state_idx, "do_ctrl_chip4");
    if (req_chip4 == nullptr) {
        perror("DO_ERROR: Failed to request lines on chip4");
        return 0;
    }
    req_chip3 =
        init_chip(chip3, gpiochip3_lines, std::size(gpiochip3_lines), chip3_state_idx, "do_ctrl_chip3");
    if (req_chip3 == nullptr) {
        perror("DO_ERROR: Failed to request lines on chip3");
        return 0;
    }
    req_chip0 =
        init_chip(chip0, gpiochip0_lines, std::size(gpiochip0_lines), chip0_state_idx, "do_ctrl_chip0");
    if (req_chip0 == nullptr) {
        perror("DO_ERROR: Failed to request lines on chip0");
        return 0;
    }
    rollback.dismiss();
    puts("DO_INFO: GPIO initialized, all 12 relays set HIGH.");
    return 1;
}

int control_do_over_gpio()
{
    drive_chip(req_chip4, chip4_state_idx, std::size(chip4_state_idx));
    drive_chip(req_chip3, chip3_state_idx, std::size(chip3_state_idx));
    drive_chip(req_chip0, chip0_state_idx, std::size(chip0_state_idx));
    return 1;
}

void gpio_close()
{
    release_request(req_chip4);
    release_request(req_chip3);
    release_request(req_chip0);
    close_chip(chip4);
    close_chip(chip3);
    close_chip(chip0);
}

bool gpio_lines_held()
{
    return req_chip4 != nullptr && req_chip3 != nullptr && req_chip0 != nullptr;
}
