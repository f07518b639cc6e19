// Shared by the link tests: byte streams as the bridge sends them (built independently
// of the parser), a bare pseudo-terminal, and stdout capture.
#pragma once

#include <fcntl.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/link_internal.h"

namespace lep3::test {

// Runs f and returns what it printed to stdout.
template <typename F> std::string stdout_of(F &&f)
{
    ::testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

// AA 55 L idHi idLo type data... check, with L = 3 + data size.
inline std::vector<uint8_t> reply_packet(uint16_t id, uint8_t type, std::span<const uint8_t> data)
{
    std::vector<uint8_t> p{0xAA, 0x55, uint8_t(3 + data.size()), uint8_t(id >> 8), uint8_t(id), type};
    p.insert(p.end(), data.begin(), data.end());
    p.push_back(0x5A);
    return p;
}

// AA 55 FF 04 mode, 240 video packets of a 4-byte head and a row payload, a check byte.
inline std::vector<uint8_t> frame_packet(uint8_t mode, std::span<const uint8_t> payload)
{
    std::vector<uint8_t> p{0xAA, 0x55, 0xFF, 0x04, mode};
    const auto row = payload.size() / 240;
    for (size_t k = 0; k < 240; ++k) {
        p.insert(p.end(), {uint8_t(k >> 8), uint8_t(k), 0xAA, 0x55});
        const auto data = payload.subspan(k * row, row);
        p.insert(p.end(), data.begin(), data.end());
    }
    p.push_back(0x00);
    return p;
}

// Pixels are sent high byte first.
inline std::vector<uint8_t> raw_frame_packet(std::span<const uint16_t> pixels)
{
    std::vector<uint8_t> be;
    for (uint16_t v : pixels)
        be.insert(be.end(), {uint8_t(v >> 8), uint8_t(v)});
    return frame_packet(0x00, be);
}

// Frames over the whole value range, with AA 55 pairs in the data.
inline std::vector<uint16_t> patterned_raw(uint32_t seed)
{
    std::vector<uint16_t> px(19200);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint16_t(i % 7 == 0 ? 0xAA55 : (i * 2654435761U + seed) >> 7);
    return px;
}

inline std::vector<uint8_t> patterned_rgb(uint32_t seed)
{
    std::vector<uint8_t> px(57600);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint8_t(i % 5 == 0 ? (i % 2 == 0 ? 0xAA : 0x55) : (i * 40503U + seed) >> 3);
    return px;
}

// A pseudo-terminal pair for tests that need a terminal device but no emulator.
struct Pty {
    Pty()
    {
        master.reset(posix_openpt(O_RDWR | O_NOCTTY));
        if (master.valid() && grantpt(master.get()) == 0 && unlockpt(master.get()) == 0)
            slave_path = ptsname(master.get());
    }
    lep3::link::Fd master;
    std::string slave_path;
};

} // namespace lep3::test
