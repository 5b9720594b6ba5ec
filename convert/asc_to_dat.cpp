#include "convert/asc_to_dat.h"

#include <cstdint>
#include <cstdio>

#include "datafile/datafile.h"
#include "datafile/dataset.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/hooks.h"
#include "sdf/sdf.h"

namespace {

enum exit_status : int {
    EXIT_DONE = 0,
    EXIT_USAGE = 1,
    EXIT_NO_INPUT = 2,
    EXIT_OUTPUT_EXISTS = 3,
    EXIT_READ_FAILED = 4,
    EXIT_WRITE_FAILED = 5,
};

int usage()
{
    std::fputs("\nUsage:  sdf_to_dat [options] input output\n", stderr);
    std::fputs("\tinput  = existing SDF data file\n", stderr);
    std::fputs("\toutput = Vell binary data file to create\n", stderr);
    std::fputs("\n\tOptions:\n", stderr);
    std::fputs("\t\t-f\twrites output even if file already exists\n", stderr);
    std::fflush(stderr);
    return EXIT_USAGE;
}

const char* error_name(int32_t code)
{
    if (code >= U_ERR_FIRST && code <= U_ERR_LAST)
        return u_err_names[code];
    return u_err_name(code);
}

void unable(const char* input, const char* output)
{
    std::fprintf(stderr, "Unable to convert \"%s\" to \"%s\" because...\n", input, output);
}

// The dataset of one run; the phase data read from the SDF file are released at the end.
struct dataset {
    dat_header header{};
    intensity_map intensity{};
    phase_map phase{};
    ~dataset() { u_free(phase.data); }
};

}  // namespace

int asc_to_dat_main(int argc, char** argv)
{
    if (argc < 3)
        return usage();

    const char* input = nullptr;
    const char* output = nullptr;
    bool overwrite = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            if (arg[1] != 'f')
                return usage();
            overwrite = true;
        } else if (input == nullptr) {
            input = arg;
        } else if (output == nullptr) {
            output = arg;
        } else {
            return usage();
        }
    }
    // "-f input" passes the count check but names no output: rejected like a short command line.
    if (input == nullptr || output == nullptr)
        return usage();

    if (!u_file_exists(input)) {
        unable(input, output);
        std::fprintf(stderr, "\t\"%s\" does not exist\n", input);
        return EXIT_NO_INPUT;
    }
    if (u_file_exists(output) && !overwrite) {
        unable(input, output);
        std::fprintf(stderr, "\t\"%s\" already exists\n", output);
        return EXIT_OUTPUT_EXISTS;
    }

    std::fprintf(stderr, "Converting \"%s\" to \"%s\"\n", input, output);
    std::fflush(stderr);

    dataset data;
    int32_t rc = sdf_read_file(input, &data.header, &data.intensity, &data.phase);
    if (rc != NO_ERROR) {
        std::fflush(stdout);  // "Missing required fields." from the reader comes first
        unable(input, output);
        std::fprintf(stderr, "\tthere was an error reading the file \"%s\"\n", input);
        std::fprintf(stderr, "\t%s\n", error_name(rc));
        return EXIT_READ_FAILED;
    }

    rc = dat_write_file(output, &data.header, &data.intensity, &data.phase);
    if (rc != NO_ERROR) {
        unable(input, output);
        std::fprintf(stderr, "\tthere was an error writing to the file \"%s\"\n", output);
        std::fprintf(stderr, "\t%s\n", error_name(rc));
        return EXIT_WRITE_FAILED;
    }

    std::fprintf(stderr, "Conversion from \"%s\" to \"%s\" successful\n", input, output);
    return EXIT_DONE;
}
