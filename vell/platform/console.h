// The command-line side of the OS layer: program arguments, file names given on a command line,
// and text on the standard streams, all in UTF-8 whatever the system.
//
// A Windows program reads its arguments as wide characters (wmain) so that names outside the
// ANSI code page survive; it hands file names to the library in the wide path form and shows
// them through the console's wide-character output. On POSIX every text passes through as the
// system gave it.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace os {

#ifdef _WIN32
// The arguments of wmain (program name first) as UTF-8 texts. A lone half of a surrogate pair,
// which has no UTF-8 form, comes out as U+FFFD.
std::vector<std::string> utf8_arguments(int argc, wchar_t** argv);
// Runs a tool's main function on the UTF-8 form of the wide command line.
int run_with_utf8_arguments(int argc, wchar_t** argv, int (*run)(int, char**));
#endif

// The path text, in the platform's path convention (see platform/os.h), that names the file
// whose name is the UTF-8 text: the wide form on Windows, so that any name reaches the wide file
// functions; on POSIX the text itself, with "./" in front when it begins with the wide form's
// byte-order bytes (the same file, kept a narrow path).
std::string path_text_of_utf8(std::string_view utf8);

// True when the stream is an interactive console: a Windows console, a terminal on POSIX.
bool is_console(std::FILE* stream);

// Writes UTF-8 text to a stream and flushes it. A Windows console gets the text through its
// wide-character output, so every character shows whatever the console's code page is. Any other
// stream (a redirected standard stream, a file, every stream on POSIX) gets the UTF-8 bytes
// through the C stream; its mode decides the line ends (a Windows text stream writes each line
// feed as CR LF). False when the text could not be written in full.
bool write_text(std::FILE* stream, std::string_view utf8);

}  // namespace os
