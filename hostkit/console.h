// The tool's own output channel: its results (text, JSON, CSV) on standard output, its
// diagnostics on standard error. The library's messages never reach standard output
// (library_messages.h), so scripts read only what the tool itself writes.
#pragma once

#include <cstdio>

namespace lep3tool {

// Exit statuses: usage errors are told apart from failures of the device or of files.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Where the tool writes its results: standard output.
FILE *out();
// True when the results go to a terminal (refreshing lines, progress bars).
bool out_is_terminal();

// Formatted results on the tool's channel, or on another stream (help on stderr). A
// failed write, such as a closed pipe, is remembered: the tool then ends with a failure.
void print(const char *format, ...) __attribute__((format(printf, 1, 2)));
void print_to(FILE *to, const char *format, ...) __attribute__((format(printf, 2, 3)));
void flush_output();
bool output_failed();

// The library's text on standard error as it came. A text that leaves its line open (no
// line end) is ended before the tool writes its next line on either stream.
void write_library_text(const char *text);

// "lep3: error: ..." and "lep3: warning: ..." lines on standard error.
void error(const char *format, ...) __attribute__((format(printf, 1, 2)));
void warning(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A long-running service's log, which takes the diagnostics instead of standard error:
// error() and warning() lines and the library's messages (library_messages.h), one line
// a call, without its line end; priority as syslog's (3 error, 4 warning, 6 info). It is
// called from any thread. Null (the default) restores standard error.
using LogSink = void (*)(int priority, const char *line);
void set_log_sink(LogSink sink);
LogSink log_sink();
inline constexpr int kLogError = 3;
inline constexpr int kLogWarning = 4;
inline constexpr int kLogNotice = 5;
inline constexpr int kLogInfo = 6;

} // namespace lep3tool
