// consumer INPUT.sdf OUTPUT.dat: reads an SDF file and writes it as a data file through the
// installed platform library, as an application would.
#include <cstdio>

#include <vell/datafile/datafile.h>
#include <vell/datafile/dataset.h>
#include <vell/platform/errors.h>
#include <vell/platform/hooks.h>
#include <vell/platform/version.h>
#include <vell/sdf/sdf.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: consumer INPUT.sdf OUTPUT.dat\n");
        return 2;
    }
    dat_header header{};
    intensity_map intensity{};
    phase_map phase{};
    int32_t rc = sdf_read_file(argv[1], &header, &intensity, &phase);
    if (rc == NO_ERROR)
        rc = dat_write_file(argv[2], &header, &intensity, &phase);
    u_free(phase.data);
    std::printf("platform %s: %s\n", VP_VERSION, u_err_name(rc));
    return rc == NO_ERROR ? 0 : 1;
}
