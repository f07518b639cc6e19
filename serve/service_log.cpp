#include "serve/service_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "hostkit/console.h"
#include "hostkit/text_format.h"

namespace lep3tool::serve {

namespace {

// Lines come from every thread; each is one write, and the lock keeps them whole.
std::mutex write_lock;

// sd-daemon(3)'s form: "<N>" and the text, a line for each line of it. The write may fail
// (the journal restarted, its disk is full): nothing else can be done with the line, and
// the service goes on.
void journal_line(int priority, const char *text)
{
    std::string out;
    // Appended piece by piece: GCC 12 reports a false -Wrestrict for "<" + std::string.
    std::string prefix(1, '<');
    prefix.append(std::to_string(priority)).push_back('>');
    for (const char *p = text; *p != '\0';) {
        const char *end = p;
        while (*end != '\0' && *end != '\n')
            ++end;
        out.append(prefix).append(p, end).push_back('\n');
        p = *end == '\n' ? end + 1 : end;
    }
    const std::lock_guard guard(write_lock);
    [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, out.data(), out.size());
}

} // namespace

bool stderr_is_journal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    struct stat st;
    if (stream == nullptr || fstat(STDERR_FILENO, &st) != 0)
        return false;
    unsigned long long device = 0, inode = 0;
    return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && device == st.st_dev && inode == st.st_ino;
}

ServiceLog::ServiceLog(std::string name, bool journal) : name_(std::move(name)), journal_(journal)
{
    if (journal_)
        set_log_sink(journal_line);
}

void ServiceLog::say(int priority, const char *format, ...) const
{
    va_list args;
    va_start(args, format);
    const std::string text = vformat_text(format, args);
    va_end(args);
    if (journal_) {
        journal_line(priority, text.c_str());
    } else if (priority <= kLogError) {
        lep3tool::error("%s", text.c_str());
    } else if (priority == kLogWarning) {
        lep3tool::warning("%s", text.c_str());
    } else {
        print("lep3 %s: %s\n", name_.c_str(), text.c_str());
        flush_output();
    }
}

} // namespace lep3tool::serve
