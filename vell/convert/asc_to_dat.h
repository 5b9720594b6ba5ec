// The sdf_to_dat and sdf_import commands: each converts one SDF file into one Vell binary data
// file.
#pragma once

// Runs the command on its arguments (argv[0] is the program name) and returns its exit status:
// 0 conversion done, 1 command line rejected (usage text printed), 2 input missing,
// 3 output exists and -f was not given, 4 the SDF reader failed, 5 the data file writer failed.
// Progress and failure messages go to standard error. The arguments are UTF-8 texts (on POSIX
// the bytes the system gave), shown as they are in the messages.
int asc_to_dat_main(int argc, char** argv);

// The sdf_import command: the same command line, checks, messages and exit statuses, for SDF
// files written by other instruments and programs (the reader's import policy, see
// sdf_read_options); its usage text names it and the dialects it takes.
int sdf_import_main(int argc, char** argv);
