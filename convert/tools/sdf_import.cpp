// sdf_import [options] input output: converts an SDF file written by another instrument or
// program into a Vell binary data file.
#include "convert/asc_to_dat.h"

#ifdef _WIN32
#include <string>
#include <vector>

#include "platform/console.h"

// The wide command line, so that file names outside the ANSI code page come through.
int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> args = os::utf8_arguments(argc, argv);
    std::vector<char*> ptrs;
    for (std::string& a : args)
        ptrs.push_back(a.data());
    ptrs.push_back(nullptr);
    return sdf_import_main(static_cast<int>(args.size()), ptrs.data());
}
#else
int main(int argc, char** argv) { return sdf_import_main(argc, argv); }
#endif
