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

void clear_reply_fields()
{
    store_reply_field(command_read.command_id, uint16_t{0});
    store_reply_field(command_read.type, 0);
    store_reply_field(command_read.data_len, 0);
    for (uint8_t &byte : command_read.data)
        store_reply_field(byte, uint8_t{0});
}

command_read_t snapshot_reply()
{
    command_read_t copy{};
    copy.command_id = load_reply_field(command_read.command_id);
    copy.type = load_reply_field(command_read.type);
    copy.state = load_reply_field(command_read.state);
    copy.data_len = load_reply_field(command_read.data_len);
    for (size_t i = 0; i < sizeof copy.data; ++i)
        copy.data[i] = load_reply_field(command_read.data[i]);
    return copy;
}

} // namespace lep3::link
