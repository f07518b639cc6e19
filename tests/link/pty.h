// A pseudo-terminal pair for tests that need a real terminal device but no emulator.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "link/link_internal.h"

namespace lep3::test {

class Pty {
  public:
    Pty()
    {
        master_.reset(posix_openpt(O_RDWR | O_NOCTTY));
        if (master_.valid() && grantpt(master_.get()) == 0 && unlockpt(master_.get()) == 0)
            slave_path_ = ptsname(master_.get());
    }
    bool ok() const { return !slave_path_.empty(); }
    int master() const { return master_.get(); }
    const std::string &slave_path() const { return slave_path_; }

  private:
    lep3::link::Fd master_;
    std::string slave_path_;
};

} // namespace lep3::test
