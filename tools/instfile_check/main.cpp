// instfile_check KIND FILE
//
// Reads FILE with the platform's reader for KIND. The reader's messages go to standard error as
// the library writes them; the result's name (NO_ERROR, ERR_...) is the first line of standard
// output, followed on success by what was read. Exit status: 0 for NO_ERROR, 1 for another
// result, 2 (with the usage text) for a bad command line. --help and --version answer on
// standard output.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/platform/tool_options.h"
#include "tools/instfile_check/kinds.h"

namespace {

std::vector<const instfile_kind*>& registry()
{
    static std::vector<const instfile_kind*> kinds;
    return kinds;
}

std::string usage_text()
{
    std::vector<const instfile_kind*> kinds = registry();
    std::sort(kinds.begin(), kinds.end(),
              [](const instfile_kind* a, const instfile_kind* b) { return std::strcmp(a->name, b->name) < 0; });
    std::string text = "usage: instfile_check KIND FILE\n"
                       "  Reads FILE with the platform's reader for KIND and prints the result's name,\n"
                       "  then what was read. KIND is one of:\n";
    for (const instfile_kind* k : kinds) {
        char line[160];
        std::snprintf(line, sizeof line, "    %-10s %s\n", k->name, k->what);
        text += line;
    }
    return text;
}

int usage()
{
    std::fputs(usage_text().c_str(), stderr);
    return 2;
}

}  // namespace

instfile_kind::instfile_kind(const char* kind_name, const char* kind_what, check_fn kind_check)
    : name(kind_name), what(kind_what), check(kind_check)
{
    registry().push_back(this);
}

int main(int argc, char** argv)
{
    if (int status = u_tool_standard_options(argc, argv, "instfile_check", usage_text().c_str()); status >= 0)
        return status;
    if (argc != 3 || argv[2][0] == '\0')
        return usage();
    const instfile_kind* kind = nullptr;
    for (const instfile_kind* k : registry())
        if (std::strcmp(k->name, argv[1]) == 0)
            kind = k;
    if (kind == nullptr)
        return usage();

    u_log_sink = u_log_stderr;
    std::string shown;
    int32_t rc = kind->check(argv[2], shown);
    std::printf("%s\n", u_err_name(rc));
    if (rc == NO_ERROR)
        std::fwrite(shown.data(), 1, shown.size(), stdout);
    std::fflush(stdout);
    return rc == NO_ERROR ? 0 : 1;
}
