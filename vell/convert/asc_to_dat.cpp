#include "vell/convert/asc_to_dat.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "vell/datafile/datafile.h"
#include "vell/datafile/dataset.h"
#include "vell/platform/console.h"
#include "vell/platform/errors.h"
#include "vell/platform/files.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/sdf/sdf.h"

namespace {

enum exit_status : int {
    EXIT_DONE = 0,
    EXIT_USAGE = 1,
    EXIT_NO_INPUT = 2,
    EXIT_OUTPUT_EXISTS = 3,
    EXIT_READ_FAILED = 4,
    EXIT_WRITE_FAILED = 5,
};

// One message on standard error. The file names in it are UTF-8, which a Windows console shows
// through its wide-character output.
[[gnu::format(printf, 1, 2)]] void say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    os::write_text(stderr, u_vformat(format, args));
    va_end(args);
}

// What sets the two commands apart: the program name, the lines their usage texts add, and
// the reader's policy.
struct command {
    const char* name;
    const char* input_note;  // after the input line; empty for none
    sdf_read_options options;
};

const command sdf_to_dat_command{"sdf_to_dat", "", {SDF_POLICY_PLATFORM}};
const command sdf_import_command{
    "sdf_import",
    "\t\t (aBCR-1.0, aISO-1.0, aISO-2.0, bBCR-1.0, bISO-1.0 or bISO-2.0;\n"
    "\t\t  its rows are kept in the order in which the file stores them)\n",
    {SDF_POLICY_IMPORT}};

int usage(const command& cmd)
{
    say("\nUsage:  %s [options] input output\n", cmd.name);
    say("\tinput  = existing SDF data file\n");
    if (cmd.input_note[0] != '\0')
        say("%s", cmd.input_note);
    say("\toutput = Vell binary data file to create\n");
    say("\n\tOptions:\n");
    say("\t\t-f\twrites output even if file already exists\n");
    return EXIT_USAGE;
}

void unable(const char* input, const char* output)
{
    say("Unable to convert \"%s\" to \"%s\" because...\n", input, output);
}

// The dataset of one run; the phase data read from the SDF file are released at the end.
struct dataset {
    dat_header header{};
    intensity_map intensity{};
    phase_map phase{};
    ~dataset() { u_free(phase.data); }
};

int run_command(const command& cmd, int argc, char** argv)
{
    if (argc < 3)
        return usage(cmd);

    const char* input = nullptr;
    const char* output = nullptr;
    bool overwrite = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            if (arg[1] != 'f')
                return usage(cmd);
            overwrite = true;
        } else if (input == nullptr) {
            input = arg;
        } else if (output == nullptr) {
            output = arg;
        } else {
            return usage(cmd);
        }
    }
    // "-f input" passes the count check but names no output: rejected like a short command line.
    if (input == nullptr || output == nullptr)
        return usage(cmd);

    // The messages show the names as given; the library gets them in the platform's path form
    // (on Windows the wide form, so that names outside the ANSI code page reach the file).
    const std::string input_path = os::path_text_of_utf8(input);
    const std::string output_path = os::path_text_of_utf8(output);

    if (!u_file_exists(input_path.c_str())) {
        unable(input, output);
        say("\t\"%s\" does not exist\n", input);
        return EXIT_NO_INPUT;
    }
    if (u_file_exists(output_path.c_str()) && !overwrite) {
        unable(input, output);
        say("\t\"%s\" already exists\n", output);
        return EXIT_OUTPUT_EXISTS;
    }

    say("Converting \"%s\" to \"%s\"\n", input, output);

    dataset data;
    int32_t rc = cmd.options.policy == SDF_POLICY_PLATFORM
                     ? sdf_read_file(input_path.c_str(), &data.header, &data.intensity, &data.phase)
                     : sdf_read_file_ex(input_path.c_str(), &data.header, &data.intensity, &data.phase, nullptr,
                                        cmd.options);
    if (rc != NO_ERROR) {
        std::fflush(stdout);  // "Missing required fields." from the reader comes first
        unable(input, output);
        say("\tthere was an error reading the file \"%s\"\n", input);
        say("\t%s\n", u_err_name(rc));
        return EXIT_READ_FAILED;
    }

    rc = dat_write_file(output_path.c_str(), &data.header, &data.intensity, &data.phase);
    if (rc != NO_ERROR) {
        unable(input, output);
        say("\tthere was an error writing to the file \"%s\"\n", output);
        say("\t%s\n", u_err_name(rc));
        return EXIT_WRITE_FAILED;
    }

    say("Conversion from \"%s\" to \"%s\" successful\n", input, output);
    return EXIT_DONE;
}

}  // namespace

int asc_to_dat_main(int argc, char** argv) { return run_command(sdf_to_dat_command, argc, argv); }

int sdf_import_main(int argc, char** argv) { return run_command(sdf_import_command, argc, argv); }
