// Writes the frame the bridge emulator streams for one sequence number to standard output
// (raw: 19 200 host-order uint16; rgb: 57 600 bytes), so the Python tests can compare what
// the package delivers with what was sent, pixel for pixel.
// Usage: lep3_sim_frame raw|rgb SEQ
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sim/bridge_sim.h"

int main(int argc, char **argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "raw") != 0 && std::strcmp(argv[1], "rgb") != 0)) {
        (void)std::fputs("usage: lep3_sim_frame raw|rgb SEQ\n", stderr);
        return 2;
    }
    const auto seq = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    if (std::strcmp(argv[1], "raw") == 0) {
        std::vector<uint16_t> raw(lep3::sim::kPixels);
        lep3::sim::BridgeSim::raw_frame(seq, raw.data());
        return std::fwrite(raw.data(), sizeof raw[0], raw.size(), stdout) == raw.size() ? 0 : 1;
    }
    std::vector<uint8_t> rgb(lep3::sim::kPixels * 3);
    lep3::sim::BridgeSim::rgb_frame(seq, rgb.data());
    return std::fwrite(rgb.data(), 1, rgb.size(), stdout) == rgb.size() ? 0 : 1;
}
