// Loadable libraries: load by the platform's library name, look up entry points, unload.
//
// Library names are the platform's Windows names ("MotionWrapperInterface.dll"). On Windows
// they are loaded as they are. Elsewhere the file name part becomes the native one
// ("libMotionWrapperInterface.so"): ".dll" is dropped, "lib" put in front unless it is there,
// ".so" appended unless the name already ends in ".so" or has ".so." in it. A bare name is
// looked for next to the running program first, then on the system's library path (on
// Windows: the system directory and the directories added with AddDllDirectory; never the
// current directory or PATH, where a planted library could be picked up); a name with a
// directory part is loaded from there only, relative to the current directory when it is not
// absolute. A failed load shows no error box, and leaves the process's error mode alone.
//
// System error numbers: Windows reports GetLastError (126 for a missing library, 127 for a
// missing entry point). The POSIX loader reports no numbers of its own: a failed load gives
// the errno it left behind, or ENOENT when it left none; a missing entry point gives ENOENT.
// The loader's own text is kept for diagnostics.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace os {

// Generic entry point: cast to the entry point's real type before calling it.
using proc = void (*)();

// The file name that the platform library name stands for on this system.
std::string native_library_name(std::string_view name);

class library {
public:
    library() = default;
    ~library() { unload(); }
    library(library&& other) noexcept;
    library& operator=(library&& other) noexcept;
    library(const library&) = delete;
    library& operator=(const library&) = delete;

    // Loads the library (unloading the one held before). False with the system error number.
    bool load(const char* name, int* sys_error = nullptr);

    // The entry point of that name, or null (with the system error number).
    proc symbol(const char* name, int* sys_error = nullptr) const;

    void unload();

    // File version of the loaded module from its version resource (Windows): the 64-bit
    // version, major of the high-order half in its upper 16 bits. False where the system or the
    // module has none (always on POSIX systems).
    bool file_version(uint64_t* version) const;

    bool loaded() const { return handle_ != nullptr; }

    // Native file name or path that was loaded (UTF-8).
    const std::string& file() const { return file_; }
    // The system loader's text for the last failure, when it gives one.
    const std::string& error_text() const { return error_text_; }

private:
    void* handle_ = nullptr;
    std::string file_;
    mutable std::string error_text_;
};

}  // namespace os
