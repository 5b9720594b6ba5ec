#include "platform/files.h"

#include "platform/os.h"

bool u_file_exists(const char* path)
{
    os::fs::path native;
    if (!os::native_path(path, native))
        return false;
    return os::kind_of(native) == os::file_kind::regular;
}
