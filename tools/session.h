// One connection to the bridge for the life of a subcommand: optionally the bundled
// emulator in this process, the library pointed at the device and initialised, and the
// library's reader and parser loops on two threads. The destructor takes it all down in
// order: the loops are cancelled and joined, then the library releases the port.
#pragma once

#include <pthread.h>

#include <memory>
#include <string>

namespace lep3::sim {
class BridgeSim;
}

namespace lep3tool {

struct SessionOptions {
    bool sim = false;         // start the emulator and use it
    std::string device;       // bridge device; empty: the library's default
    std::string firmware_dir; // directory of the firmware image; empty: the library's default
    bool managed = false;     // the library's managed session (LEP3_Open) instead of the loops here
};

class Session {
  public:
    // Throws std::runtime_error with a sentence for the user when the link can't be
    // brought up.
    explicit Session(const SessionOptions &options);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    const std::string &device() const { return device_; }
    pthread_t reader() const { return reader_; }
    // The emulator, when the session runs one.
    lep3::sim::BridgeSim *sim() const { return sim_.get(); }

    // A firmware update ends the reader loop itself and releases the port: reclaim the
    // thread, then bring the link up again on the bridge's new firmware. False when the
    // bridge's device can't be opened; the session then holds no open port.
    bool reopen_after_update();

  private:
    void start_reader();
    void stop_threads();

    std::string temp_dir_;
    std::unique_ptr<lep3::sim::BridgeSim> sim_;
    std::string device_;
    pthread_t reader_{};
    pthread_t parser_{};
    bool reader_running_ = false;
    bool parser_running_ = false;
    bool link_open_ = false;
    bool managed_ = false;
};

} // namespace lep3tool
