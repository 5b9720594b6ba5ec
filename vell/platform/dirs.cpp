#include "vell/platform/dirs.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "vell/platform/errors.h"
#include "vell/platform/files.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"

namespace {

constexpr char sep = os::path_separator;
constexpr std::size_t max_path = static_cast<std::size_t>(U_DIR_MAX_PATH);
constexpr std::size_t max_name = static_cast<std::size_t>(U_COMPUTER_NAME_MAX);

// One cached answer. `done` is set at the start of the first call, before any work, so a first
// call that finds nothing is not retried.
struct cached_text {
    bool done = false;
    std::string text;
};

struct dirs_state {
    cached_text module_path;
    cached_text install_dir;
    cached_text config_dir;
    cached_text ramps_dir;

    bool name_done = false;
    int name_status = 1;
    std::string computer_name;

    cached_text host_file_name;

    // The path found by the last lookup, with the release hook of the table that made it.
    char* found = nullptr;
    void (*found_release)(void*) = nullptr;

    // Test stand-ins for the system's answers.
    std::optional<std::string> fake_program_path;
    std::optional<std::string> fake_computer_name;
    bool fake_no_computer_name = false;
};

dirs_state& state()
{
    static dirs_state s;
    return s;
}

const char* answer(const cached_text& c) { return c.text.empty() ? nullptr : c.text.c_str(); }

void release_found(dirs_state& s)
{
    if (s.found != nullptr)
        s.found_release(s.found);
    s.found = nullptr;
    s.found_release = nullptr;
}

enum class env_value { unset, refused, set };

// Reads a directory variable into `out` in the narrow path convention. An empty value counts
// as unset (as it does on Windows, where an empty variable does not exist). A value that the
// cache cannot hold whole is refused with a diagnostic line naming `what`.
env_value read_dir_variable(const char* variable, const char* operation, const char* what, std::string& out)
{
    auto value = os::get_env(variable);
    if (!value || value->empty())
        return env_value::unset;
    if (!os::narrow_path(os::path_of_utf8(*value), out)) {
        u_log_sink("%s: %s cannot be written in the system's code page; no %s\n", operation, variable, what);
        out.clear();
        return env_value::refused;
    }
    if (out.size() > max_path) {
        u_log_sink("%s: %s is longer than %d characters; no %s\n", operation, variable, U_DIR_MAX_PATH, what);
        out.clear();
        return env_value::refused;
    }
    return env_value::set;
}

os::file_kind kind_of_text(const std::string& text)
{
    os::fs::path p;
    if (!os::native_path(text.c_str(), p))
        return os::file_kind::none;
    return os::kind_of(p);
}

std::string joined(std::string_view dir, std::string_view name)
{
    std::string out;
    out.reserve(dir.size() + 1 + name.size());
    out.append(dir);
    out.push_back(sep);
    out.append(name);
    return out;
}

bool is_absolute_name(const char* name)
{
    auto is_sep = [](char c) { return c == '\\' || c == sep; };
    if (is_sep(name[0]))
        return true;
    if (name[0] == '.' && is_sep(name[1]))
        return true;
    unsigned char c = static_cast<unsigned char>(name[0]);
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return letter && name[1] == ':';
}

// Cuts a UTF-8 text to at most `bytes` bytes without splitting a character.
std::string cut_utf8(const std::string& text, std::size_t bytes)
{
    if (text.size() <= bytes)
        return text;
    std::size_t n = bytes;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    return text.substr(0, n);
}

void fill_computer_name(dirs_state& s)
{
    s.name_done = true;
    s.name_status = 1;
    s.computer_name.clear();

    std::string name;
    bool supplied;
    if (s.fake_no_computer_name) {
        supplied = false;
    } else if (s.fake_computer_name) {
        name = *s.fake_computer_name;
        supplied = true;
    } else {
        supplied = os::computer_name(name);
    }
    if (!supplied)
        return;
    // The network name proper: a POSIX host name may carry its domain after the first dot.
    name = cut_utf8(name.substr(0, name.find('.')), max_name);
    std::string narrow;
    if (name.empty() || !os::narrow_path(os::path_of_utf8(name), narrow))
        return;
    s.computer_name = narrow;
    s.name_status = 0;
}

}  // namespace

const char* u_module_path()
{
    dirs_state& s = state();
    if (!s.module_path.done) {
        s.module_path.done = true;
        std::string raw = s.fake_program_path ? *s.fake_program_path : os::program_path();
        std::string text;
        if (raw.empty()) {
            // the system did not say
        } else if (!os::narrow_path(os::fold_case(os::path_of_utf8(raw)), text)) {
            u_log_sink("u_module_path: the program path cannot be written in the system's code page; no program path\n");
        } else if (text.size() > max_path) {
            u_log_sink("u_module_path: the program path is longer than %d characters; no program path\n", U_DIR_MAX_PATH);
        } else {
            s.module_path.text = std::move(text);
        }
    }
    return s.module_path.text.c_str();
}

const char* u_install_dir()
{
    dirs_state& s = state();
    cached_text& c = s.install_dir;
    if (c.done)
        return answer(c);
    c.done = true;

    std::string dir;
    switch (read_dir_variable("RV_INSTALL_DIR", "u_install_dir", "install directory", dir)) {
    case env_value::set: c.text = std::move(dir); return answer(c);
    case env_value::refused: return nullptr;
    case env_value::unset: break;
    }

    std::string_view p = u_module_path();
    std::size_t cut = p.rfind(sep);
    if (cut == std::string_view::npos)
        return nullptr;  // no directory in the program path
    p = p.substr(0, cut);
    if (p.size() > 3) {
        cut = p.rfind(sep);
        if (cut != std::string_view::npos)
            p = p.substr(0, cut);
    }
    c.text = std::string(p);
    if (!c.text.empty())
        u_log_sink("Install directory: %s\n", c.text.c_str());
    return answer(c);
}

const char* u_config_dir()
{
    dirs_state& s = state();
    cached_text& c = s.config_dir;
    if (c.done)
        return answer(c);
    c.done = true;

    std::string dir;
    switch (read_dir_variable("RV_CONFIG_DIR", "u_config_dir", "configuration directory", dir)) {
    case env_value::set: c.text = std::move(dir); return answer(c);
    case env_value::refused: return nullptr;
    case env_value::unset: break;
    }

    const char* install = u_install_dir();
    if (install == nullptr)
        return nullptr;
    std::string candidate = joined(install, "cfg");
    if (kind_of_text(candidate) != os::file_kind::directory) {
        c.text = install;
    } else if (candidate.size() > max_path) {
        // Falling back to the install directory would name another directory than the one
        // that exists: refuse instead.
        u_log_sink("u_config_dir: \"%s\" is longer than %d characters; no configuration directory\n",
                   candidate.c_str(), U_DIR_MAX_PATH);
    } else {
        c.text = std::move(candidate);
    }
    return answer(c);
}

const char* u_ramps_dir()
{
    dirs_state& s = state();
    cached_text& c = s.ramps_dir;
    if (c.done)
        return answer(c);
    c.done = true;

    std::string dir;
    switch (read_dir_variable("RV_RAMPS_DIR", "u_ramps_dir", "ramp directory", dir)) {
    case env_value::set: c.text = std::move(dir); return answer(c);
    case env_value::refused: return nullptr;
    case env_value::unset: break;
    }

    const char* config = u_config_dir();
    if (config == nullptr)
        return nullptr;
    std::string candidate = joined(config, "ramps");
    if (candidate.size() > max_path) {
        u_log_sink("u_ramps_dir: \"%s\" is longer than %d characters; no ramp directory\n", candidate.c_str(),
                   U_DIR_MAX_PATH);
        return nullptr;
    }
    if (kind_of_text(candidate) != os::file_kind::directory) {
        os::fs::path native;
        if (os::native_path(candidate.c_str(), native))
            os::make_dir(native);  // the path is the ramp directory whether this succeeds or not
    }
    c.text = std::move(candidate);
    return answer(c);
}

int32_t u_find_config_file(const char* name, const char** path)
{
    // Nothing to look for: the previous result stays valid, since the caller's pointer to it
    // is left as it was.
    if (name == nullptr || name[0] == '\0')
        return NO_ERROR;

    dirs_state& s = state();
    release_found(s);
    if (path == nullptr)
        return ERR_INVALID_PARAM;

    auto store_if_file = [&](const std::string& candidate, int32_t& err) {
        if (!u_file_exists(candidate.c_str()))
            return false;
        auto* block = static_cast<char*>(u_malloc(candidate.size() + 1));
        if (block == nullptr) {
            err = ERR_NO_MEM;
            return true;
        }
        std::memcpy(block, candidate.c_str(), candidate.size() + 1);
        s.found = block;
        s.found_release = u_hooks.release;
        *path = block;
        err = NO_ERROR;
        return true;
    };

    int32_t err = NO_ERROR;
    if (is_absolute_name(name)) {
        if (store_if_file(name, err))
            return err;
        return ERR_CANT_READ_FILE;
    }
    if (store_if_file(joined(".", name), err))
        return err;
    const char* config = u_config_dir();
    if (config == nullptr)
        return ERR_CANT_OPEN_FILE;
    if (store_if_file(joined(config, name), err))
        return err;
    return ERR_CANT_READ_FILE;
}

int u_computer_name(char* buffer, int length)
{
    dirs_state& s = state();
    if (!s.name_done)
        fill_computer_name(s);
    if (buffer != nullptr && length > 0) {
        std::size_t n = std::min(s.computer_name.size(), static_cast<std::size_t>(length) - 1);
        std::memcpy(buffer, s.computer_name.data(), n);
        buffer[n] = '\0';
    }
    return s.name_status;
}

const char* u_host_file_name(int n)
{
    dirs_state& s = state();
    cached_text& c = s.host_file_name;
    if (!c.done) {
        if (n < 0 || n > 9) {
            u_log_sink("u_host_file_name: %d is not a digit from 0 to 9\n", n);
            return "";
        }
        c.done = true;
        if (!s.name_done)
            fill_computer_name(s);
        c.text = s.computer_name;
        c.text.push_back('.');
        c.text.push_back(static_cast<char>('0' + n));
    }
    return c.text.c_str();
}

void u_dirs_reset_for_tests(const u_dirs_test_system* fake)
{
    dirs_state& s = state();
    release_found(s);
    s = dirs_state{};
    if (fake != nullptr) {
        if (fake->program_path != nullptr)
            s.fake_program_path = fake->program_path;
        if (fake->computer_name != nullptr)
            s.fake_computer_name = fake->computer_name;
        s.fake_no_computer_name = fake->no_computer_name;
    }
}
