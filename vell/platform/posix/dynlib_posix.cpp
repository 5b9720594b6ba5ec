// POSIX loadable libraries (dlopen).
#include <dlfcn.h>

#include <cerrno>
#include <string>

#include "vell/platform/dynlib.h"
#include "vell/platform/os.h"

namespace os {

namespace {

std::string take_dlerror()
{
    const char* text = ::dlerror();
    return text ? std::string(text) : std::string();
}

}  // namespace

bool library::load(const char* name, int* sys_error)
{
    unload();
    error_text_.clear();
    if (name == nullptr || *name == '\0') {
        if (sys_error)
            *sys_error = EINVAL;
        error_text_ = "no library name";
        return false;
    }
    fs::path native_form;
    if (!native_path(name, native_form)) {
        if (sys_error)
            *sys_error = ENOENT;
        error_text_ = "ill-formed library path";
        return false;
    }
    std::string file = native_library_name(native_form.string());
    std::string to_load = file;
    if (file.find('/') == std::string::npos) {
        // Next to the program first, as Windows does.
        std::string program = program_path();
        if (!program.empty()) {
            fs::path beside = fs::path(program).parent_path() / file;
            if (kind_of(beside) == file_kind::regular)
                to_load = beside.string();
        }
    }
    ::dlerror();
    errno = 0;
    void* h = ::dlopen(to_load.c_str(), RTLD_NOW | RTLD_LOCAL);
    int err = errno;
    if (h == nullptr) {
        error_text_ = take_dlerror();
        if (sys_error)
            *sys_error = err != 0 ? err : ENOENT;
        return false;
    }
    handle_ = h;
    file_ = to_load;
    return true;
}

proc library::symbol(const char* name, int* sys_error) const
{
    if (handle_ == nullptr || name == nullptr) {
        if (sys_error)
            *sys_error = ENOENT;
        return nullptr;
    }
    ::dlerror();
    void* p = ::dlsym(handle_, name);
    if (p == nullptr) {
        error_text_ = take_dlerror();
        if (sys_error)
            *sys_error = ENOENT;
        return nullptr;
    }
    return reinterpret_cast<proc>(p);
}

void library::unload()
{
    if (handle_ != nullptr) {
        ::dlclose(handle_);
        handle_ = nullptr;
    }
    file_.clear();
}

bool library::file_version(uint64_t*) const
{
    return false;
}

}  // namespace os
