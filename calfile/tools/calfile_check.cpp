// calfile_check [-w OUT] FILE
//
// Reads FILE into instrument slot 0 with the calibration file reader (its diagnostics go to
// standard error) and prints the name of the result on standard output. With -w OUT and a good
// read, slot 0 is then written to OUT with the calibration file writer and the writer's result
// is printed as a second line. Exit status: 0 when every step succeeded, 1 otherwise, 2 for a
// bad command line. --help and --version answer on standard output.
#include <cstdio>
#include <cstring>

#include "calfile/calfile.h"
#include "platform/errors.h"
#include "platform/log.h"
#include "platform/tool_options.h"

#if __has_include("calfile/writer.h")
#include "calfile/writer.h"
#define CALFILE_CHECK_HAS_WRITER 1
#else
#define CALFILE_CHECK_HAS_WRITER 0
#endif

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
#if CALFILE_CHECK_HAS_WRITER
    rc = sb_writeCal(0, out);
    std::printf("%s\n", u_err_name(rc));
    std::fflush(stdout);
    return rc == NO_ERROR ? 0 : 1;
#else
    std::fputs("calfile_check: writing calibration files (-w) is not available in this build\n", stderr);
    return 1;
#endif
}
