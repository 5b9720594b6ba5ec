// sdf_to_dat [options] input output: converts an SDF file into a Vell binary data file.
#include "convert/asc_to_dat.h"

int main(int argc, char** argv) { return asc_to_dat_main(argc, argv); }
