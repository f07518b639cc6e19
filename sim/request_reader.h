// Framing of the packets the host sends to the application firmware: AA 55 L, L body
// bytes, CRC-8 over everything before it. Packets with a bad check byte are counted and
// dropped; the reader then hunts for the next sync pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace lep3::sim {

class RequestReader {
  public:
    // Takes one byte; returns the whole packet (sync to check byte) when it completes one
    // with a valid check byte.
    std::optional<std::vector<uint8_t>> feed(uint8_t b);
    size_t crc_errors() const { return crc_errors_; }
    void clear_errors() { crc_errors_ = 0; }
    void reset() { state_ = State::hunt; }

  private:
    enum class State { hunt, sync, length, body, check };
    State state_ = State::hunt;
    std::vector<uint8_t> packet_;
    size_t body_left_ = 0;
    size_t crc_errors_ = 0;
};

// A request as the bridge reads it.
struct Request {
    enum class Kind { get, set, run, video, unknown };
    Kind kind = Kind::unknown;
    uint16_t id = 0;
    uint8_t type = 0;
    uint8_t words = 0;            // get: 16-bit words asked for
    std::vector<uint8_t> payload; // set: the bytes to store
    uint8_t video_mode = 0;       // video: 0x00 raw, 0xFF RGB
};

// Reads the body of a packet that RequestReader completed.
Request decode_request(const std::vector<uint8_t> &packet);

} // namespace lep3::sim
