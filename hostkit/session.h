// One connection to the bridge for the life of a subcommand: optionally the bundled
// emulator in this process, then the library's managed session on the device (LEP3_Open),
// which runs the link's loops, waits with time-outs and re-opens a bridge that is
// unplugged and comes back. The destructor closes it (LEP3_Close) and takes the emulator
// down.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace lep3::sim {
class BridgeSim;
}

namespace lep3tool {

struct SessionOptions {
    bool sim = false;         // start the emulator and use it
    std::string device;       // bridge device; empty: the library's default
    std::string boot_device;  // the bridge bootloader's device; empty: the library's default
    std::string firmware_dir; // directory of the firmware image; empty: the library's default

    // Image files an update tells the emulator about, so that it reports their version.
    std::vector<std::string> sim_images;
};

class Session {
  public:
    // Throws std::runtime_error with one sentence for the user when the bridge can't be
    // opened: missing, in use by another program, not permitted, not a serial device.
    explicit Session(const SessionOptions &options);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    const std::string &device() const { return device_; }
    // The emulator, when the session runs one.
    lep3::sim::BridgeSim *sim() const { return sim_.get(); }

    // For a process that ends at once from another thread: closes the open session, if
    // any, and removes the emulator's files. Nothing else may use the session afterwards.
    static void close_for_exit();

  private:
    void release();

    std::string temp_dir_;
    std::unique_ptr<lep3::sim::BridgeSim> sim_;
    std::string device_;
};

} // namespace lep3tool
