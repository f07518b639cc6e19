#include "hostkit/console.h"
#include "hostkit/text_format.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <string>

namespace lep3tool {

namespace {

// Written by whichever thread prints (a progress bar prints beside the command).
std::atomic<bool> write_failed{false};
std::atomic<LogSink> sink{nullptr};
// The library's last text on standard error left its line unfinished.
std::atomic<bool> library_line_open{false};

void end_library_line()
{
    if (library_line_open.exchange(false))
        (void)std::fputc('\n', stderr);
}

void vprint(FILE *to, const char *format, va_list args)
{
    end_library_line();
    if (std::vfprintf(to, format, args) < 0)
        write_failed = true;
}

void print_line(int priority, const char *prefix, const char *format, va_list args)
{
    if (const LogSink to = sink.load()) {
        const std::string line = vformat_text(format, args);
        to(priority, line.c_str());
        return;
    }
    // Results may be buffered: flush them first so the order of the lines on a shared
    // terminal matches the order of events.
    flush_output();
    end_library_line();
    // Diagnostics that can't be written have nowhere else to go.
    (void)std::fputs(prefix, stderr);
    (void)std::vfprintf(stderr, format, args);
    (void)std::fputc('\n', stderr);
}

} // namespace

FILE *out()
{
    return stdout;
}

bool out_is_terminal()
{
    return isatty(fileno(out())) == 1;
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

void write_library_text(const char *text)
{
    const size_t length = std::strlen(text);
    if (length == 0)
        return;
    (void)std::fputs(text, stderr);
    library_line_open = text[length - 1] != '\n';
}

void error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    print_line(kLogError, "lep3: error: ", format, args);
    va_end(args);
}

void warning(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    print_line(kLogWarning, "lep3: warning: ", format, args);
    va_end(args);
}

void set_log_sink(LogSink to)
{
    sink.store(to);
}

LogSink log_sink()
{
    return sink.load();
}

} // namespace lep3tool
