// Writing a file so that a failure loses nothing: the data go to a temporary file beside the
// target, which replaces the target only after everything was written and closed. A target
// that exists but is not a regular file (a device, a pipe) is written in place.
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
    // False when it cannot be created.
    bool open(const std::filesystem::path& target);

    std::FILE* get() const { return file_; }

    // Flushes and closes; then replaces the target. False when any write, the close or the
    // replacement failed; the temporary file is removed and the target left as it was.
    bool commit();

    // Closes and removes the temporary file; the target stays as it was.
    void abandon();

private:
    std::FILE* file_ = nullptr;
    std::filesystem::path target_;
    std::filesystem::path temp_;
    bool in_place_ = false;
};

}  // namespace os
