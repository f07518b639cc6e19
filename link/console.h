// Every message the library prints goes through these four calls, so a host can take the
// messages instead (LEP3_SetMessageHandler). Without a handler each call is the C library
// call it replaces, with the same text, stream and buffering.
#pragma once

namespace lep3::console {

// printf to standard output.
void print(const char *format, ...) __attribute__((format(printf, 1, 2)));
// puts: the text and a line end, to standard output.
void put_line(const char *text);
// The text as it stands, to standard error.
void write_error(const char *text);
// perror: the text, ": ", the current errno's description and a line end, to standard error.
void print_errno(const char *text);

} // namespace lep3::console
