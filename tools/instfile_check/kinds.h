// The kinds of file that instfile_check knows. Each kind's source file registers one with a
// static instfile_kind object:
//
//     static const instfile_kind ramp_kind{"ramp", "ramp data file", &check_ramp};
//
// `check` runs the platform's reader on `path` (its messages go to standard error through the
// log sink, exactly as the library writes them) and returns the reader's result. On success it
// puts into `shown` what was read, in the file's own written form where the platform has a
// writer or a dump, else one line per record; the program prints it after the result's name.
#pragma once

#include <cstdint>
#include <string>

struct instfile_kind {
    using check_fn = int32_t (*)(const char* path, std::string& shown);
    instfile_kind(const char* name, const char* what, check_fn check);

    const char* name;
    const char* what;
    check_fn check;
};
