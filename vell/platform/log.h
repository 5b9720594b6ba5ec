// Diagnostic message sink and bounded log files.
#pragma once

#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <string>

#if defined(__GNUC__)
#define VP_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define VP_PRINTF(fmt, first)
#endif

// Every platform operation writes its diagnostics through this pointer. It starts as
// u_log_stderr; a host that wants them elsewhere assigns another function.
using u_log_fn = void (*)(const char* format, ...);
extern u_log_fn u_log_sink;

void u_log_stderr(const char* format, ...) VP_PRINTF(1, 2);
void u_log_stdout(const char* format, ...) VP_PRINTF(1, 2);
void u_log_none(const char* format, ...) VP_PRINTF(1, 2);

// Formats to the given stream and flushes it.
void u_log_fprintf(std::FILE* stream, const char* format, ...) VP_PRINTF(2, 3);

// printf-style formatting into a string of whatever length the message needs (empty for a
// format error). The formatter of u_log_stamped, for callers that send the text elsewhere.
std::string u_vformat(const char* format, va_list args);
std::string u_format(const char* format, ...) VP_PRINTF(1, 2);

// Standard error or output when the sink is u_log_stderr or u_log_stdout, else null.
std::FILE* u_log_stream();

// Size of a time stamp buffer, terminator included.
constexpr int U_TIMESTAMP_SIZE = 40;

// Writes the current local time as "%Y-%m-%d %H:%M:%S" into buffer (U_TIMESTAMP_SIZE bytes).
void u_timestamp(char* buffer);

// The time stamp and a blank, then the message, both through the sink. A message longer than
// the 511-character line buffer is passed on whole rather than cut.
void u_log_stamped(const char* format, ...) VP_PRINTF(1, 2);

// Appends text to a log file. When the file has reached size_limit bytes (and 0 < keep_size <
// its size), the oldest lines are dropped so that about keep_size bytes remain, through a
// temporary file that is copied over the log only after it was written completely.
int32_t u_log_to_file(const char* path, const char* text, long size_limit, long keep_size);

// Copies a file over another, replacing it.
int32_t u_copy_file(const char* from, const char* to);
