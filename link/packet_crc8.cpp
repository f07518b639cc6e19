// Check byte of every packet on the link: the CRC-8 of link/crc8.h over every byte before it.
#include <cstddef>
#include <cstdint>

#include "lep3.h"
#include "link/crc8.h"

extern "C" LEP3_API uint8_t packet_crc8(const uint8_t *bytes, size_t len)
{
    uint8_t reg = 0;
    for (size_t i = 0; i < len; ++i)
        reg = lep3::link::crc8_step(reg, bytes[i]);
    return reg;
}
