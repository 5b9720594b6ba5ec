// sdf_import [options] input output: converts an SDF file written by another instrument or
// program into a Vell binary data file.
#include "vell/convert/asc_to_dat.h"
#include "vell/platform/tool_main.h"

VP_TOOL_MAIN(sdf_import_main)
