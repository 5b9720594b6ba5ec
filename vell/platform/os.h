// The thin OS layer: every system call of the library goes through here (serial ports have
// their own layer in serial/). One POSIX and one Win32 implementation.
//
// Path convention: a path text whose first two bytes are the UTF-16 byte-order character
// U+FEFF (in either byte order) is a wide path; UTF-16 code units in little-endian order
// follow, up to a zero unit. Any other text is an ordinary narrow path (UTF-8 on POSIX, the
// ANSI code page on Windows).
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "vell/platform/files.h"

namespace os {

namespace fs = std::filesystem;

// Longest wide path accepted, in code units (the Win32 long-path limit).
constexpr std::size_t max_wide_path_units = 32767;

// True when the text starts with the byte-order bytes of a wide path.
bool is_wide_path(const char* path);

// Turns a path in the platform convention into a native path. False for a null path or an
// ill-formed wide path (odd length, unpaired surrogate, no terminator within the bound);
// such a path is treated like a missing file by every caller.
bool native_path(const char* path, fs::path& out);

// Builds the wide form of a UTF-8 text: the byte-order bytes FF FE, the UTF-16LE units and a
// zero unit. The result's data() is a path in the platform convention.
std::string make_wide_path(std::string_view utf8);

// UTF-8 form of a native path, for messages.
std::string utf8_of(const fs::path& path);

// Native path of a UTF-8 text (for texts the system gave in UTF-8: program path, environment).
fs::path path_of_utf8(std::string_view utf8);

// The reverse of native_path for narrow texts: the path written in the platform's narrow
// convention (UTF-8 on POSIX, the ANSI code page on Windows). False when the path holds a
// character that the narrow convention cannot write.
bool narrow_path(const fs::path& path, std::string& out);

// Separator of the directories in the platform's path texts.
#ifdef _WIN32
constexpr char path_separator = '\\';
#else
constexpr char path_separator = '/';
#endif

// The path in the case the system compares file names in: lower case on Windows, whose file
// names ignore case; unchanged on POSIX, where another case names another file.
fs::path fold_case(const fs::path& path);

enum class file_kind { none, regular, directory, other };
file_kind kind_of(const fs::path& path);

// Size in bytes of an existing file.
bool file_size(const fs::path& path, uint64_t& size);

// The file's stamp (platform/files.h); false when its status cannot be read.
bool stamp_of(const fs::path& path, u_file_stamp& out);

// fopen on a native path (wide functions on Windows).
std::FILE* open_file(const fs::path& path, const char* mode);

// Reads up to `size` bytes of an open file from byte `offset` on, whatever the stream's own
// position and buffer, so that several threads may read parts of one file at once. `got` is
// what was read: less than `size` only at the end of the file. False when the system reports
// an error (got then holds what came before it). Once a file is read this way it is read only
// this way: on Windows the system's position of the file moves with each read.
bool read_at(std::FILE* file, uint64_t offset, void* buffer, std::size_t size, std::size_t& got);

// Creates a new, empty file with a unique name "<prefix>XXXXXX" (prefix in UTF-8) in dir and
// opens it for binary writing. The caller removes it when it is no longer needed. A failure
// leaves *refused (when given) empty when no unused name could be found, and sets it to the
// name (or, where the system picks the name while creating, the name pattern) whose file the
// system refused to create.
std::FILE* create_temp_file(const fs::path& dir, std::string_view prefix, fs::path& created,
                            fs::path* refused = nullptr);

// Writes the stream's buffered data and asks the system to put the file's contents on the
// disk (fsync, FlushFileBuffers), so that a power loss after a replacement cannot leave an
// empty file. False when either step fails.
bool flush_to_disk(std::FILE* stream);

// The system's directory for temporary files.
fs::path temp_dir();

// Replaces `to` by `from` in one step (rename over an existing file).
bool replace_file(const fs::path& from, const fs::path& to, int* sys_error = nullptr);

// Copies `from` over `to`.
bool copy_file(const fs::path& from, const fs::path& to, int* sys_error = nullptr);

bool remove_file(const fs::path& path);

// Gives a temporary file that is about to replace `target` the permissions of the target, or
// of a newly created file when there is no target yet (temporary files start private).
void adopt_file_mode(const fs::path& temp, const fs::path& target);

// Creates one directory level.
bool make_dir(const fs::path& path);

// Environment variable (UTF-8), or nothing when unset.
std::optional<std::string> get_env(const char* name);

// Sets or, with a null value, removes an environment variable of the process, so that
// get_env, the runtime's getenv (also in libraries loaded afterwards) and child processes see
// it. False for a name that is empty or holds '='.
bool set_env(const char* name, const char* value);

// Full path of the running program (UTF-8), empty when the system does not say.
std::string program_path();

// The computer's network name, false when the system does not supply it.
bool computer_name(std::string& name);

// Broken-down local time.
bool local_time(std::time_t when, std::tm& out);

// The last system error number (errno, or GetLastError on Windows).
int last_error();

// Real sleep and monotonic clock: the defaults of the platform time hooks.
void sleep_real_ms(uint32_t ms);
uint64_t monotonic_ms();

// Asks the system to back a large block of memory with large pages where it can, so that
// writing it for the first time takes a few page faults instead of one per small page. Only
// the whole large pages inside the block are affected. A hint: the block's contents and use
// do not change, and a system without the feature (or a block too small) ignores it.
void advise_large_pages(void* block, std::size_t size);

}  // namespace os
