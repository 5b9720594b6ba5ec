#include "vell/platform/files.h"

#include "vell/platform/os.h"

bool u_file_exists(const char* path)
{
    os::fs::path native;
    if (!os::native_path(path, native))
        return false;
    return os::kind_of(native) == os::file_kind::regular;
}

bool u_file_stamp_of(const char* path, u_file_stamp* out)
{
    os::fs::path native;
    if (out == nullptr || !os::native_path(path, native))
        return false;
    u_file_stamp s;
    if (!os::stamp_of(native, s))
        return false;
    *out = s;
    return true;
}
