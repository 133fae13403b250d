// RAII owners for cJSON trees and the texts cJSON prints.
#pragma once

#include <cjson/cJSON.h>

#include <memory>

struct CJsonDeleter {
    void operator()(cJSON *p) const noexcept { cJSON_Delete(p); }
};
using CJsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

struct CJsonTextDeleter {
    void operator()(char *p) const noexcept { cJSON_free(p); }
};
using CJsonText = std::unique_ptr<char, CJsonTextDeleter>;
