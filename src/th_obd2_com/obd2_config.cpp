// Configuration file: CAN settings, chosen live sensors, chosen trouble-code groups.
#include "th_obd2_com/obd2_config.h"

#include <cjson/cJSON.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/cjson_ptr.h"

int g_can_padding = 0;
int g_can_bitrate = 0;
char g_live_sensor_names[CFG_MAX_LIVE_SENSORS][CFG_NAME_LEN];
int g_live_sensor_count = 0;
char g_dtc_names[CFG_MAX_DTC_GROUPS][CFG_NAME_LEN];
int g_dtc_count = 0;

namespace
{

std::string g_config_path_override;
std::string g_default_path_override;

struct FileCloser {
    void operator()(FILE *f) const noexcept { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct FreeDeleter {
    void operator()(char *p) const noexcept { free(p); }
};

void copy_name(char (&slot)[CFG_NAME_LEN], const char *name)
{
    std::strncpy(slot, name, CFG_NAME_LEN - 1);
    slot[CFG_NAME_LEN - 1] = '\0';
}

// cJSON keeps the integer part of a number, clamped to the int range.
bool number_is_one(const cJSON *item)
{
    return cJSON_IsNumber(item) && item->valueint == 1;
}

} // namespace

const char *config_file_path()
{
    return g_config_path_override.empty() ? CONFIG_FILE_PATH : g_config_path_override.c_str();
}

const char *default_config_file_path()
{
    return g_default_path_override.empty() ? DEFAULT_CONFIG_FILE_PATH : g_default_path_override.c_str();
}

void config_test_set_paths(const char *config_path, const char *default_path)
{
    g_config_path_override = config_path ? config_path : "";
    g_default_path_override = default_path ? default_path : "";
}

namespace
{

// The system's error text alone does not say which file: name it first, on
// the same stream so that the two lines stay together.
void report_open_failure(const char *path)
{
    const int err = errno;
    fprintf(stderr, "OBD2_ERROR : Cannot read configuration file %s\n", path);
    errno = err;
    perror("File open failed");
}

} // namespace

int parse_config_json(const char *path)
{
    FilePtr file(fopen(path, "rb"));
    if (!file) {
        report_open_failure(path);
        return 0;
    }
    // Only a regular file has a length to go by (a folder reports a huge one).
    struct stat st {
    };
    if (fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        report_open_failure(path);
        return 0;
    }
    if (fseek(file.get(), 0, SEEK_END) != 0) {
        return 0;
    }
    long length = ftell(file.get());
    // A file far larger than any configuration is treated like a failed allocation.
    if (length < 0 || length > CONFIG_FILE_MAX_LEN || fseek(file.get(), 0, SEEK_SET) != 0) {
        return 0;
    }
    std::unique_ptr<char, FreeDeleter> text(static_cast<char *>(malloc(static_cast<size_t>(length) + 1)));
    if (!text) {
        return 0;
    }
    size_t got = fread(text.get(), 1, static_cast<size_t>(length), file.get());
    text.get()[got] = '\0';
    file.reset();

    return apply_config_text(text.get());
}

int apply_config_text(const char *text)
{
    CJsonPtr root(cJSON_Parse(text));
    if (!root) {
        puts("Error: JSON parse failed");
        return 0;
    }

    const cJSON *can_port = cJSON_GetObjectItem(root.get(), "can_port");
    if (cJSON_IsObject(can_port)) {
        const cJSON *padding = cJSON_GetObjectItem(can_port, "padding");
        if (cJSON_IsNumber(padding)) {
            g_can_padding = padding->valueint;
        }
        const cJSON *br = cJSON_GetObjectItem(can_port, "BR");
        if (cJSON_IsNumber(br)) {
            g_can_bitrate = br->valueint;
        }
    }

    g_live_sensor_count = 0;
    const cJSON *live_page = cJSON_GetObjectItem(root.get(), "live_page");
    const cJSON *sensors = cJSON_IsObject(live_page) ? cJSON_GetObjectItem(live_page, "sensors") : nullptr;
    if (cJSON_IsArray(sensors)) {
        const cJSON *sensor = nullptr;
        cJSON_ArrayForEach(sensor, sensors)
        {
            if (g_live_sensor_count >= CFG_MAX_LIVE_SENSORS) {
                break;
            }
            const cJSON *name = cJSON_GetObjectItem(sensor, "name");
            const cJSON *show = cJSON_GetObjectItem(sensor, "show");
            if (cJSON_IsString(name) && name->valuestring != nullptr && number_is_one(show)) {
                copy_name(g_live_sensor_names[g_live_sensor_count], name->valuestring);
                ++g_live_sensor_count;
            }
        }
    }

    g_dtc_count = 0;
    const cJSON *show_dtc = cJSON_GetObjectItem(root.get(), "show_dtc");
    if (cJSON_IsObject(show_dtc)) {
        const cJSON *group = nullptr;
        cJSON_ArrayForEach(group, show_dtc)
        {
            if (g_dtc_count >= CFG_MAX_DTC_GROUPS) {
                break;
            }
            if (group->string != nullptr && number_is_one(group)) {
                copy_name(g_dtc_names[g_dtc_count], group->string);
                ++g_dtc_count;
            }
        }
    }
    return 1;
}
