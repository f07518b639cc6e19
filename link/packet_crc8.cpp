// Check byte of every packet on the link: the CRC-8 of link/crc8.h over every byte before it.
#include <cstddef>
#include <cstdint>

#include "lep3.h"
#include "link/crc8.h"

extern "C" LEP3_API uint8_t packet_crc8(const uint8_t *bytes, size_t len)
{
    return lep3::link::crc8_run(0, bytes, len);
}
