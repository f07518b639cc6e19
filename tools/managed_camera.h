// The bridge through the library's managed session (LEP3_Open): the library runs its own
// loops, re-opens a bridge that returns, and LEP3_WaitFrame says when the bridge is gone.
// With --sim the bundled emulator runs in this process.
#pragma once

#include <memory>
#include <string>

#include "tools/session.h"

namespace lep3tool {

class ManagedCamera {
  public:
    // Throws std::runtime_error with a sentence for the user when the bridge can't be opened.
    explicit ManagedCamera(const SessionOptions &options);
    ~ManagedCamera();
    ManagedCamera(const ManagedCamera &) = delete;
    ManagedCamera &operator=(const ManagedCamera &) = delete;

    const std::string &device() const { return device_; }

  private:
    std::string temp_dir_;
    std::unique_ptr<lep3::sim::BridgeSim> sim_;
    std::string device_;
};

} // namespace lep3tool
