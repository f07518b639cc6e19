// The reply record shared by the parser and the one command transaction in flight, and
// the accessor pair of its hand-off word.
#include <atomic>

#include "link/link_internal.h"

extern "C" {
LEP3_API command_read_t command_read;
}

namespace lep3::link {

// Release: every field the parser wrote before the state is visible to a thread that
// reads the state with acquire ordering.
void publish_reply_state(int32_t state)
{
    std::atomic_ref<int32_t>(command_read.state).store(state, std::memory_order_release);
}

int32_t load_reply_state()
{
    return std::atomic_ref<int32_t>(command_read.state).load(std::memory_order_acquire);
}

} // namespace lep3::link
