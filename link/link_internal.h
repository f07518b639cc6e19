// Declarations shared inside the link subsystem and with the subsystems built on it.
#pragma once

#include <cstdint>

#include "lep3.h"

namespace lep3::link {

// The state word of command_read is the hand-off between the parser and the transaction
// in flight: the parser publishes 2 with release ordering after every other field of
// the record is written; the waiting side reads it with acquire ordering.
void publish_reply_state(int32_t state);
int32_t load_reply_state();

// The diagnostic capture loops run this many passes (10 000 000 unless a test says less).
void set_diagnostic_passes(uint32_t passes);

} // namespace lep3::link

// Command transactions: one request, one wait of up to 7000 1 ms polls, one check.
// Transactions are serialised by one lock held from priming the reply record to the end
// of the check. On any result other than 0 the reply buffer is left untouched.
int LEP3_RunCommand(uint16_t command_id, command_read_t *reply);
int LEP3_GetCommand(uint16_t command_id, uint8_t word_count, command_read_t *reply);
int LEP3_SetCommand(uint16_t command_id, const void *payload, uint32_t payload_size, command_read_t *reply);
