// The emulator built without libtiff: it can't read recordings.
#include <stdexcept>

#include "sim/replay.h"

namespace lep3::sim {

std::unique_ptr<Replay> open_replay(const std::string &path, bool)
{
    throw std::runtime_error("cannot replay " + path + ": this emulator was built without libtiff");
}

} // namespace lep3::sim
