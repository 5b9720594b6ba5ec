// Writing a file so that a failure loses nothing: the data go to a temporary file beside the
// target, which replaces the target only after everything was written, flushed to the disk
// and closed. A symbolic link given as the target is followed: the file it points to is
// replaced and the link stays. A replaced file keeps its permission bits. An existing target
// that the user may not write is refused, as a plain open for writing would refuse it, even
// when its folder is writable. A target that exists but is not a regular file (a device, a
// pipe) is written in place.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace os {

class atomic_file {
public:
    atomic_file() = default;
    atomic_file(const atomic_file&) = delete;
    atomic_file& operator=(const atomic_file&) = delete;
    ~atomic_file();

    // Opens the temporary file (or the target itself, see above) for binary writing.
    // False when it cannot be created or the target may not be written.
    bool open(const std::filesystem::path& target);

    std::FILE* get() const { return file_; }

    // After a failed open: whether it failed because the target exists and its permissions
    // refuse writing (rather than because the temporary file could not be created, or the
    // system ran out of descriptors or memory).
    bool target_refused() const { return target_refused_; }

    // When the new file is flushed to the disk before it takes the target's place: always, or
    // only when it replaces an existing file (a new file then risks no more than a plain write
    // would, and a large one is not held up by the disk).
    enum class flush { always, when_replacing };

    // Flushes (see above) and closes; then replaces the target. False when any write, the
    // flush, the close or the replacement failed; the temporary file is removed and the
    // target left as it was.
    bool commit(flush when = flush::always);

    // Closes and removes the temporary file; the target stays as it was.
    void abandon();

private:
    std::FILE* file_ = nullptr;
    std::filesystem::path target_;
    std::filesystem::path temp_;
    bool in_place_ = false;
    bool replacing_ = false;  // the target existed when it was opened
    bool target_refused_ = false;
};

}  // namespace os
