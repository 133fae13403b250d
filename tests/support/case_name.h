// Readable names for table-driven (parameterised) tests, from the case's `what` text.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

template <class Case> std::string case_name(const testing::TestParamInfo<Case> &info)
{
    std::string name;
    for (const char *p = info.param.what; *p != '\0'; ++p) {
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    }
    return name;
}
