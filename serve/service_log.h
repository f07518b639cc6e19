// The service's log: one line a message, each with its priority. Under systemd (standard
// error is the journal's stream that JOURNAL_STREAM names) or when asked, every line goes
// to standard error with the "<N>" syslog-priority prefix the journal reads, and the
// tool's diagnostics and the library's messages join it there; otherwise the lines are
// the tool's usual ones: "lep3 serve: ..." on standard output, warnings and errors on
// standard error.
#pragma once

#include <string>

namespace lep3tool::serve {

// True when standard error is the stream JOURNAL_STREAM names ("DEVICE:INODE").
bool stderr_is_journal();

class ServiceLog {
  public:
    // name: the command's, for the console's lines. journal: the journal's form; the
    // tool's and the library's messages take it too, for the rest of the process (the
    // tool's last word, an error that ends it, included).
    ServiceLog(std::string name, bool journal);
    ServiceLog(const ServiceLog &) = delete;
    ServiceLog &operator=(const ServiceLog &) = delete;

    bool journal() const { return journal_; }
    // One message; priority is one of console.h's kLog* (syslog's numbers).
    void say(int priority, const char *format, ...) const __attribute__((format(printf, 3, 4)));

  private:
    std::string name_;
    bool journal_;
};

} // namespace lep3tool::serve
