#include "tools/console.h"
#include "tools/text_format.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>

namespace lep3tool {

namespace {

FILE *tool_out = nullptr;
bool diverted = false;
bool write_failed = false;

void vprint(FILE *to, const char *format, va_list args)
{
    if (std::vfprintf(to, format, args) < 0)
        write_failed = true;
}

void print_line(const char *prefix, const char *format, va_list args)
{
    // Library messages on stdout may be buffered: flush them first so the order of
    // the lines on a shared terminal matches the order of events.
    flush_output();
    (void)std::fflush(stdout);
    // Diagnostics that can't be written have nowhere else to go.
    (void)std::fputs(prefix, stderr);
    (void)std::vfprintf(stderr, format, args);
    (void)std::fputc('\n', stderr);
}

} // namespace

FILE *out()
{
    return tool_out != nullptr ? tool_out : stdout;
}

bool out_is_terminal()
{
    return isatty(fileno(out())) == 1;
}

void divert_library_output(bool quiet)
{
    if (diverted)
        return;
    diverted = true;
    (void)std::fflush(stdout);
    const int kept = dup(STDOUT_FILENO);
    if (kept < 0)
        return; // nothing to divert to: results and chatter stay together
    fcntl(kept, F_SETFD, FD_CLOEXEC);
    tool_out = fdopen(kept, "w");
    if (tool_out == nullptr) {
        close(kept);
        return;
    }
    const int sink = quiet ? open("/dev/null", O_WRONLY | O_CLOEXEC) : STDERR_FILENO;
    if (sink >= 0) {
        dup2(sink, STDOUT_FILENO);
        if (sink != STDERR_FILENO)
            close(sink);
    }
    // Library messages now share a stream with the tool's diagnostics: keep them in
    // whole lines rather than in 4 KiB blocks.
    (void)setvbuf(stdout, nullptr, _IOLBF, 0);
}

void print(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprint(out(), format, args);
    va_end(args);
}

void print_to(FILE *to, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprint(to, format, args);
    va_end(args);
}

void flush_output()
{
    if (std::fflush(out()) != 0)
        write_failed = true;
}

bool output_failed()
{
    return write_failed;
}

void error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    print_line("lep3: error: ", format, args);
    va_end(args);
}

void warning(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    print_line("lep3: warning: ", format, args);
    va_end(args);
}

} // namespace lep3tool
