// Test harness: a bridge emulator on a pseudo-terminal in a private temporary directory,
// the library pointed at it and initialised, and the reader and parser loops running.
#pragma once

#include <pthread.h>

#include <memory>
#include <string>

#include "sim/bridge_sim.h"

namespace lep3::test {

class LinkHarness {
  public:
    // Starts the emulator (options.path is filled in when empty), points every library
    // path into the temporary directory, calls LEP3_Init and starts both loops.
    explicit LinkHarness(lep3::sim::Options options = {});
    // Cancels and joins the loops, calls LEP3_Destroy, stops the emulator, removes the
    // temporary directory.
    ~LinkHarness();
    LinkHarness(const LinkHarness &) = delete;
    LinkHarness &operator=(const LinkHarness &) = delete;

    lep3::sim::BridgeSim &sim() { return *sim_; }
    pthread_t reader() const { return reader_; }
    const std::string &dir() const { return dir_; }
    // Cancels and joins the reader loop (once; later calls do nothing). A host stops its
    // reader before it initialises the link again.
    void stop_reader();
    // Starts a new reader loop, collecting the old one first if that hasn't been done.
    void restart_reader();

  private:
    std::string dir_;
    std::unique_ptr<lep3::sim::BridgeSim> sim_;
    pthread_t reader_{};
    bool reader_joinable_ = false;
    pthread_t parser_{};
};

} // namespace lep3::test
