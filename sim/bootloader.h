// The bridge's bootloader: commands of one opcode, parameter bytes and the end byte 0x20;
// positive answers begin with 12 10. It keeps the image it was given so that tests can
// compare it with the file that was sent.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/bridge_sim.h"

namespace lep3::sim {

inline constexpr uint8_t kBootloaderVersion = 3;

// Bytes the bootloader sends after a delay.
struct Timed {
    int delay_ms = 0;
    std::vector<uint8_t> bytes;
    bool erase_poll = false; // an answer to an erase poll; void once the host moves on
};

// The version a flashed image names in its own text, as the application reports it: the
// first "SAMG55;V" followed by a version in the image's bytes (the form of an image file's
// first line), 1.07 giving 107. Nothing when the image carries none.
std::optional<uint16_t> stamped_version(std::span<const uint8_t> image);

class Bootloader {
  public:
    explicit Bootloader(uint32_t flash_size) : flash_size_(flash_size) {}

    struct Outcome {
        bool command = false; // a whole command was taken
        bool boot = false;    // the boot command was acknowledged: start the application
        std::vector<Timed> replies;
    };
    // Takes one byte from the host. The fault knobs are consulted, and the counted ones
    // (refuse_sync) used up.
    Outcome feed(uint8_t b, Faults &faults);
    // Forgets a half-received command (the device was just created).
    void reset_parser() { state_ = State::opcode; }

    const std::vector<uint8_t> &programmed() const { return flash_; }
    uint32_t flash_size() const { return flash_size_; }

  private:
    enum class State { opcode, param, end, count, data };
    Outcome execute(Faults &faults);

    uint32_t flash_size_;
    State state_ = State::opcode;
    uint8_t opcode_ = 0;
    uint8_t param_ = 0;
    size_t count_ = 0;
    std::vector<uint8_t> block_;
    std::vector<uint8_t> flash_;
    int block_index_ = 0; // data blocks since the last erase
};

} // namespace lep3::sim
