// One serial device of the emulated bridge: a pseudo-terminal pair whose raw slave side
// is published as a symlink where the host expects its device.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "link/fd.h"

namespace lep3::sim {

using Fd = lep3::link::Fd;

class PtyDevice {
  public:
    // Opens the pair, sets the slave raw, and links `link` to it (replacing whatever was
    // there, creating missing directories). Throws std::system_error on failure.
    explicit PtyDevice(std::string link);
    // Withdraws the link and closes both sides.
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    // Non-blocking master side, where the bridge reads requests and writes replies.
    int master() const { return master_.get(); }
    const std::string &link() const { return link_; }
    const std::string &slave_name() const { return slave_name_; }

    // Removes the link if it still points at this device; the host can no longer open it.
    void withdraw();

    // Writes every byte, waiting for room while the host reads slowly (a full slave side
    // is the link's back-pressure). Gives up and returns false as soon as keep_going()
    // says so.
    bool write_all(std::span<const uint8_t> bytes, const std::function<bool()> &keep_going) const;

  private:
    Fd master_;
    // Kept open so that the master never sees a hang-up while the host closes and
    // reopens its side.
    Fd slave_;
    std::string slave_name_;
    std::string link_;
};

} // namespace lep3::sim
