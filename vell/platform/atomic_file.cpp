#include "vell/platform/atomic_file.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "vell/platform/os.h"

namespace os {

namespace {

// The file that a chain of symbolic links ends at (the path itself when it is no link). A
// dangling link gives the missing file it names, which is then created; a loop gives an empty
// path.
fs::path follow_links(fs::path path)
{
    for (int depth = 0; depth < 40; ++depth) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(path, ec)) || ec)
            return path;
        fs::path next = fs::read_symlink(path, ec);
        if (ec)
            return {};
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    return {};
}

// Whether the user may write an existing file: opened for update, as a plain open for writing
// would be, and closed again unchanged. An open that fails for another reason than the file's
// permissions (no descriptor or memory left) answers neither yes nor no.
enum class write_access { yes, refused, unknown };
write_access may_write(const fs::path& file)
{
    errno = 0;
    std::FILE* f = open_file(file, "r+b");
    if (f != nullptr) {
        std::fclose(f);
        return write_access::yes;
    }
    return errno == EACCES || errno == EPERM || errno == EROFS ? write_access::refused : write_access::unknown;
}

}  // namespace

atomic_file::~atomic_file() { abandon(); }

bool atomic_file::open(const fs::path& given)
{
    abandon();
    target_refused_ = false;
    fs::path target = follow_links(given);
    if (target.empty())
        return false;
    target_ = target;
    file_kind kind = kind_of(target);
    in_place_ = kind == file_kind::other;
    replacing_ = kind == file_kind::regular;
    if (in_place_) {
        file_ = open_file(target, "wb");
        return file_ != nullptr;
    }
    if (kind == file_kind::directory || target.filename().empty())
        return false;
    if (kind == file_kind::regular) {
        const write_access access = may_write(target);
        target_refused_ = access == write_access::refused;
        if (access != write_access::yes)
            return false;
    }
    fs::path dir = target.parent_path();
    if (dir.empty())
        dir = ".";
    if (kind_of(dir) != file_kind::directory)
        return false;
    // The temporary name starts with the target's name, cut to 40 bytes at a character boundary.
    std::string name = utf8_of(target.filename());
    std::size_t cut = std::min<std::size_t>(name.size(), 40);
    while (cut > 0 && cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
        --cut;
    std::string prefix = "." + name.substr(0, cut) + ".";
    file_ = create_temp_file(dir, prefix, temp_);
    return file_ != nullptr;
}

bool atomic_file::commit(flush when)
{
    if (file_ == nullptr)
        return false;
    bool to_disk = !in_place_ && (when == flush::always || replacing_);
    bool ok = !std::ferror(file_) && (to_disk ? flush_to_disk(file_) : std::fflush(file_) == 0);
    ok = (std::fclose(file_) == 0) && ok;
    file_ = nullptr;
    if (in_place_)
        return ok;
    if (ok) {
        adopt_file_mode(temp_, target_);
        ok = replace_file(temp_, target_);
    }
    if (!ok)
        remove_file(temp_);
    temp_.clear();
    return ok;
}

void atomic_file::abandon()
{
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temp_.empty()) {
        remove_file(temp_);
        temp_.clear();
    }
}

}  // namespace os
