// Shared by the link tests: byte streams as the bridge sends them (built independently
// of the parser), a bare pseudo-terminal, stdout capture and the link counters.
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
#include "sim/checksums.h"

namespace lep3::test {

template <typename F> std::string stdout_of(F &&f)
{
    ::testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

inline lep3_link_stats_t stats()
{
    lep3_link_stats_t s{};
    EXPECT_EQ(LEP3_GetLinkStats(&s), 0);
    return s;
}

// The packet's check byte, by the emulator's own CRC-8, appended.
inline std::vector<uint8_t> checked(std::vector<uint8_t> packet)
{
    packet.push_back(lep3::sim::crc8(packet));
    return packet;
}

// AA 55 L idHi idLo type data... check, with L = 3 + data size.
inline std::vector<uint8_t> reply_packet(uint16_t id, uint8_t type, std::vector<uint8_t> data)
{
    const uint8_t head[] = {0xAA, 0x55, uint8_t(3 + data.size()), uint8_t(id >> 8), uint8_t(id), type};
    data.insert(data.begin(), head, head + 6);
    return checked(std::move(data));
}

// AA 55 FF 04 00, 240 video packets of a 4-byte head and a row of 80 pixels sent high
// byte first, a check byte.
inline std::vector<uint8_t> raw_frame_packet(std::span<const uint16_t> pixels)
{
    std::vector<uint8_t> p{0xAA, 0x55, 0xFF, 0x04, 0x00};
    for (size_t k = 0; k < 240; ++k) {
        p.insert(p.end(), {uint8_t(k >> 8), uint8_t(k), 0xAA, 0x55});
        for (uint16_t v : pixels.subspan(k * 80, 80))
            p.insert(p.end(), {uint8_t(v >> 8), uint8_t(v)});
    }
    return checked(std::move(p));
}

// A pseudo-terminal pair for tests that need a terminal device but no emulator.
struct Pty {
    Pty() : master(posix_openpt(O_RDWR | O_NOCTTY))
    {
        if (master.valid() && grantpt(master.get()) == 0 && unlockpt(master.get()) == 0)
            slave_path = ptsname(master.get());
    }
    lep3::link::Fd master;
    std::string slave_path;
};

} // namespace lep3::test
