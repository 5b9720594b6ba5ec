// Small file queries on paths in the platform path convention (see platform/os.h).
#pragma once

#include <cstdint>

// True when the path names an existing regular file. A path whose status cannot be read, a
// directory, a device or anything else but a regular file counts as not existing; so does a
// null path or an ill-formed wide path.
bool u_file_exists(const char* path);

// What the system tells of a file's identity and its last changes, so that a reader can tell
// whether a file it read may have been rewritten since: any rewrite (also one of the same size
// that sets the modification time back) changes at least one field. POSIX: device and inode
// number, status change time, modification time (nanoseconds) and size. Windows: volume serial
// number and file index, creation time, last write time (100 ns units) and size.
struct u_file_stamp {
    uint64_t device = 0;
    uint64_t file = 0;
    int64_t created_or_changed = 0;
    int64_t modified = 0;
    uint64_t size = 0;
    bool operator==(const u_file_stamp&) const = default;
};

// The stamp of the file the path names; false (out unchanged) when its status cannot be read,
// for a null path or an ill-formed wide path.
bool u_file_stamp_of(const char* path, u_file_stamp* out);
