// The platform directory services used by the calibration file reader. Until the platform's
// own platform/dirs.h is there, calfile/dirs_fallback.cpp provides the same operations.
#pragma once

#if __has_include("platform/dirs.h")
#include "platform/dirs.h"
#else
#include <cstdint>

const char* u_config_dir();
const char* u_host_file_name(int n);
int32_t u_find_config_file(const char* name, const char** path);
#endif
