// The calibration of the open camera: the R and O of its internal RBFO set, the set its
// raw values are converted with. Kept so that a host need not read it, and read again
// whenever it may have changed: each time the session brings a link up (a new bridge, a
// returning one, new firmware), after a camera reset (the core comes back with its
// stored set), and replaced directly by a set the camera accepted.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "control/control_internal.h"
#include "lep3.h"

namespace {

constexpr int kGone = -6;
constexpr int kNoSession = -7;

// Bumped by every event that may have changed the camera's set; a stored value belongs
// to the generation it was read in.
std::atomic<uint64_t> generation{1};

struct Stored {
    std::mutex lock; // held across a read, so concurrent callers wait for one reply
    uint64_t generation = 0;
    uint64_t reset_notices = 0;
    int32_t r = 0;
    int32_t o = 0;
};
Stored stored;

uint64_t reset_notices()
{
    lep3_link_stats_t stats{};
    LEP3_GetLinkStats(&stats);
    return stats.reset_notices;
}

} // namespace

namespace lep3::control {

void forget_calibration()
{
    generation.fetch_add(1);
}

void note_calibration_set(uint32_t r, uint32_t o)
{
    const std::lock_guard<std::mutex> guard(stored.lock);
    stored.r = static_cast<int32_t>(r);
    stored.o = static_cast<int32_t>(o);
    stored.reset_notices = reset_notices();
    stored.generation = generation.load();
}

} // namespace lep3::control

extern "C" LEP3_API int LEP3_GetCalibration(int32_t *R, int32_t *O)
{
    const int state = LEP3_GetLinkState();
    if (state == LEP3_LINK_CLOSED)
        return kNoSession;
    if (state == LEP3_LINK_GONE || state == LEP3_LINK_RECONNECTING)
        return kGone; // the camera that returns may hold another set
    const std::lock_guard<std::mutex> guard(stored.lock);
    const uint64_t now = generation.load();
    const uint64_t resets = reset_notices();
    if (stored.generation != now || stored.reset_notices != resets) {
        lep3_rbfo_t rbfo{};
        const int result = LEP3_GetRadRBFOInternal0(&rbfo);
        if (result != lep3::control::kOk)
            return result;
        stored.r = static_cast<int32_t>(rbfo.r);
        stored.o = static_cast<int32_t>(rbfo.o);
        stored.reset_notices = resets;
        stored.generation = now;
    }
    if (stored.r == 0)
        return lep3::control::kOutOfRange;
    if (R != nullptr)
        *R = stored.r;
    if (O != nullptr)
        *O = stored.o;
    return lep3::control::kOk;
}
