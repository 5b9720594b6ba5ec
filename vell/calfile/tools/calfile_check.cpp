// calfile_check [-w OUT] FILE
//
// Reads FILE into instrument slot 0 with the calibration file reader (its diagnostics go to
// standard error) and prints the name of the result on standard output. With -w OUT and a good
// read, slot 0 is then written to OUT with the calibration file writer and the writer's result
// is printed as a second line. Exit status: 0 when every step succeeded, 1 otherwise, 2 for a
// bad command line. --help and --version answer on standard output.
#include <cstdio>
#include <cstring>

#include "vell/calfile/calfile.h"
#include "vell/calfile/writer.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/platform/tool_options.h"


namespace {

const char kUsage[] = "usage: calfile_check [-w OUT] FILE\n"
                      "  Reads the system calibration file FILE into slot 0 and prints the result.\n"
                      "  -w OUT  after a good read, writes slot 0 to the calibration file OUT.\n";

int usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (int status = u_tool_standard_options(argc, argv, "calfile_check", kUsage); status >= 0)
        return status;
    const char* out = nullptr;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-w") == 0) {
            if (out != nullptr || i + 1 >= argc)
                return usage();
            out = argv[++i];
            if (out[0] == '\0')
                return usage();
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return usage();
        } else if (file == nullptr) {
            file = arg;
        } else {
            return usage();
        }
    }
    if (file == nullptr || file[0] == '\0')
        return usage();

    u_log_sink = u_log_stderr;
    int32_t rc = sb_readCal(0, file);
    std::printf("%s\n", u_err_name(rc));
    std::fflush(stdout);
    if (rc != NO_ERROR)
        return 1;
    if (out == nullptr)
        return 0;
    rc = sb_writeCal(0, out);
    std::printf("%s\n", u_err_name(rc));
    std::fflush(stdout);
    return rc == NO_ERROR ? 0 : 1;
}
