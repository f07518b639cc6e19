// Declarations shared inside the managed session.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <mutex>
#include <string>

namespace lep3::session {

// ---- Exclusive use of the bridge ------------------------------------------------------

// Result of taking a bridge's device for this process alone.
struct BridgeClaim {
    int fd = -1;        // our own descriptor of the device, holding the lock; -1 when refused
    int result = 0;     // 0, -7 in use, -1 any other failure
    std::string reason; // for the message when refused
};
// Opens the device (without becoming its controlling process) and locks it. Refuses with
// -7 when another session holds the lock.
BridgeClaim claim_bridge(const char *path);

// ---- The session's own loops ------------------------------------------------------------

// Before the loops start on a freshly opened port: passes over what arrives until the line
// has been quiet for a moment (at most 0.3 s), so that the parser's first byte starts a
// packet (session/line_settle.cpp).
void settle_line();

// Starts the reader and parser loops on threads of the library (no host signal reaches
// them); false when a thread can't be created (nothing left running).
bool start_loops();
// One pass of each of the session's loops, for the benchmarks to count: the reader polls
// the port and reads once into the ring, the parser waits for what it needs and parses
// what the ring holds. prepare_loop_passes readies the ring as start_loops does, without
// starting any thread; false when its eventfds can't be had.
bool prepare_loop_passes();
void loop_read_pass();
void loop_parse_pass();
// Cancels and joins both loops; safe when they don't run.
void stop_loops();
// The update cancels the reader itself: reclaim its thread.
void reclaim_reader();
// Handle of the running reader (for the firmware update).
pthread_t reader_thread();

// What the session's reader tells the supervisor: bytes came (after each read), and the
// port hung up (the reader then waits to be stopped).
void note_bytes_arrived();
void note_hangup();

// The session's lock around everything that replaces the link under the other threads:
// a frame read takes it shared, opening, closing and reconnecting exclusively.
void lock_link_shared();
void unlock_link_shared();

// ---- Session state for the firmware update ---------------------------------------------

bool session_open();
// Serialises opening, closing, the supervisor's work and the update.
std::mutex &serial_lock();
// The supervisor leaves the link alone from begin_update until end_update, which brings
// the link up again after whatever the update (with this result) left.
void begin_update();
void end_update(int result);

} // namespace lep3::session
