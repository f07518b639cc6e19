// Writes under a file-size limit while it lives, as a disk that fills up at that size
// would: a write past it fails (SIGXFSZ ignored) instead of ending the process.
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <cstdint>

namespace lep3::test {

class FileSizeLimit {
  public:
    explicit FileSizeLimit(uint64_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit lower = saved_;
        lower.rlim_cur = bytes;
        old_handler_ = signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, old_handler_);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

  private:
    rlimit saved_{};
    sighandler_t old_handler_;
};

} // namespace lep3::test
