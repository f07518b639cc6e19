// The bundled bridge emulator as a child process, for pipelines without the camera.
//
// The element runs the lep3-bridge-sim executable rather than linking the emulator: the
// installed plugin carries no emulator code, the emulator's threads and pseudo-terminal
// live outside the pipeline's process as a real bridge's firmware does, and the device is
// opened, locked and lost exactly as a real one. The executable is looked for in $LEP3_SIM,
// next to the plugin (the build tree links it there), in the install's bin directory and on
// PATH. Its device is published in a private temporary directory.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace lep3gst {

class EmulatorProcess {
  public:
    // Starts the emulator and waits until its device exists. nullptr with a sentence in
    // *why when the executable is missing, fails to start or publishes no device in time.
    static std::unique_ptr<EmulatorProcess> start(std::string *why);
    // Asks the emulator to stop (SIGTERM), waits a bounded time, kills it if it hasn't
    // ended, and removes the temporary directory.
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess &) = delete;
    EmulatorProcess &operator=(const EmulatorProcess &) = delete;

    const std::string &device() const { return device_; }
    pid_t pid() const { return pid_; }

  private:
    EmulatorProcess(pid_t pid, std::string dir, std::string device);

    pid_t pid_;
    std::string dir_;
    std::string device_;
};

// Where the emulator executable is found, or an empty string.
std::string find_emulator();

} // namespace lep3gst
