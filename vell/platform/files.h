// Small file queries on paths in the platform path convention (see platform/os.h).
#pragma once

// True when the path names an existing regular file. A path whose status cannot be read, a
// directory, a device or anything else but a regular file counts as not existing; so does a
// null path or an ill-formed wide path.
bool u_file_exists(const char* path);
