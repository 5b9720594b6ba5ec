// Stand-in for the platform directory services while platform/dirs.h is not part of the build.
#if !__has_include("platform/dirs.h")

#include <string>

#include "calfile/dirs_compat.h"
#include "platform/errors.h"
#include "platform/os.h"

namespace {

bool is_file(const std::string& path)
{
    os::fs::path native;
    return os::native_path(path.c_str(), native) && os::kind_of(native) == os::file_kind::regular;
}

}  // namespace

const char* u_config_dir()
{
    static bool done = false;
    static std::string dir;
    if (!done) {
        done = true;
        if (auto env = os::get_env("RV_CONFIG_DIR"))
            dir = *env;
    }
    return dir.empty() ? nullptr : dir.c_str();
}

const char* u_host_file_name(int n)
{
    static bool done = false;
    static std::string name;
    if (!done) {
        done = true;
        std::string host;
        if (!os::computer_name(host))
            host.clear();
        if (host.size() > 15)
            host.resize(15);
        name = host + "." + static_cast<char>('0' + n);
    }
    return name.c_str();
}

int32_t u_find_config_file(const char* name, const char** path)
{
    static std::string found;
    found.clear();
    if (name == nullptr || name[0] == '\0')
        return NO_ERROR;
    std::string text = name;
    bool absolute = text[0] == '/' || text[0] == '\\' || (text.size() > 1 && text[0] == '.' && text[1] == '\\') ||
                    (text.size() > 1 && text[1] == ':');
    if (absolute) {
        if (!is_file(text))
            return ERR_CANT_READ_FILE;
        found = text;
        *path = found.c_str();
        return NO_ERROR;
    }
    std::string here = "./" + text;
    if (is_file(here)) {
        found = here;
        *path = found.c_str();
        return NO_ERROR;
    }
    const char* dir = u_config_dir();
    if (dir == nullptr)
        return ERR_CANT_OPEN_FILE;
    std::string there = std::string(dir) + "/" + text;
    if (is_file(there)) {
        found = there;
        *path = found.c_str();
        return NO_ERROR;
    }
    return ERR_CANT_READ_FILE;
}

#endif
