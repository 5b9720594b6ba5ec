#include "platform/atomic_file.h"

#include <algorithm>

#include "platform/os.h"

namespace os {

atomic_file::~atomic_file() { abandon(); }

bool atomic_file::open(const fs::path& target)
{
    abandon();
    target_ = target;
    file_kind kind = kind_of(target);
    in_place_ = kind == file_kind::other;
    if (in_place_) {
        file_ = open_file(target, "wb");
        return file_ != nullptr;
    }
    if (kind == file_kind::directory || target.filename().empty())
        return false;
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

bool atomic_file::commit()
{
    if (file_ == nullptr)
        return false;
    bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
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
