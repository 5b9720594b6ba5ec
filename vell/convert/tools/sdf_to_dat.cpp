// sdf_to_dat [options] input output: converts an SDF file into a Vell binary data file.
#include "vell/convert/asc_to_dat.h"
#include "vell/platform/tool_main.h"

VP_TOOL_MAIN(asc_to_dat_main)
