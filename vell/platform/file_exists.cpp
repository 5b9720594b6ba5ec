#include "vell/platform/files.h"

#include "vell/platform/os.h"

bool u_file_exists(const char* path)
{
    os::fs::path native;
    if (!os::native_path(path, native))
        return false;
    return os::kind_of(native) == os::file_kind::regular;
}
