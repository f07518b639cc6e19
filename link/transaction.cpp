// Command transactions: one request packet written to the bridge, one wait for the parser
// to post the matching reply in command_read, one check of that reply.
//
// The reply record is single, so only one transaction may be in flight in the process.
// The host and the re-initialisation thread started after a camera reset both issue
// commands; one lock, held from priming the record to the end of the check, keeps their
// requests and replies apart without changing any packet, message or result code.
//
// Two departures guard a port that is no longer there: with no port held a command writes
// nothing and fails at once as a write to a closed port would (-1, with the send-error
// message), and while a managed session knows the bridge is gone it ends with -6, also
// when the bridge goes while the reply is awaited.
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>

#include "link/console.h"
#include "link/link_internal.h"

namespace {

using lep3::link::kReplyAwaited;
using lep3::link::kReplyPosted;
using lep3::link::kSync0;
using lep3::link::kSync1;

// Request type, sent as the third body byte and primed into the reply record.
constexpr uint8_t kTypeGet = 0;
constexpr uint8_t kTypeSet = 1;
constexpr uint8_t kTypeRun = 2;

// Body bytes ahead of a request's arguments: command ID high and low, request type.
constexpr size_t kBodyHead = 3;
// Sync bytes and length byte ahead of the body.
constexpr size_t kPacketHead = 3;
constexpr size_t kCheckByte = 1;
// The largest set payload the library sends (the FFC shutter-mode object).
constexpr size_t kMaxSetPayload = 32;
constexpr size_t kMaxRequest = kPacketHead + kBodyHead + kMaxSetPayload + kCheckByte;

// The wait for a reply: 7000 polls of 1 ms, about 7 s.
constexpr int kReplyPolls = 7000;
constexpr useconds_t kPollPause = 1000;

// A reply of exactly one data byte is a status; 0 means success.
constexpr int32_t kStatusReplyLen = 1;

constexpr int kOk = 0;
constexpr int kSendError = -1;
constexpr int kTimeout = -2;
constexpr int kOutOfRange = -3;
constexpr int kNullPointer = -5;
constexpr int kGone = -6; // the managed session's: the bridge is gone
constexpr int kWrongId = -9;
constexpr int kFailed = -10;

// The printf formats (puts for the time-out) of one kind of transaction.
struct Messages {
    const char *send_error; // "%d": result of write
    const char *timeout;
    const char *id_error; // "%d": received command ID
    const char *failure;  // "%02X": status byte
};

std::mutex transaction_lock;

// A request packet under construction: sync, length, body, check byte.
class Request {
  public:
    Request(uint16_t command_id, uint8_t type)
    {
        bytes_[0] = kSync0;
        bytes_[1] = kSync1;
        size_ = kPacketHead;
        put(static_cast<uint8_t>(command_id >> 8));
        put(static_cast<uint8_t>(command_id & 0xFF));
        put(type);
    }

    void put(uint8_t byte) { bytes_[size_++] = byte; }

    void put(std::span<const uint8_t> bytes)
    {
        std::memcpy(&bytes_[size_], bytes.data(), bytes.size());
        size_ += bytes.size();
    }

    // Fills in the length byte (body only) and appends the check byte.
    std::span<const uint8_t> finish()
    {
        bytes_[2] = static_cast<uint8_t>(size_ - kPacketHead);
        bytes_[size_] = packet_crc8(bytes_.data(), size_);
        ++size_;
        return {bytes_.data(), size_};
    }

  private:
    std::array<uint8_t, kMaxRequest> bytes_{};
    size_t size_ = 0;
};

// Steps shared by every kind: prime, write, wait, check, copy.
int transact(uint16_t command_id, uint8_t type, std::span<const uint8_t> request, const Messages &messages,
             command_read_t *reply)
{
    const std::lock_guard<std::mutex> hold(transaction_lock);
    // Nothing is sent to a bridge the session knows is gone, and the record is left alone.
    if (lep3::link::bridge_gone())
        return kGone;

    // The record is primed before the request leaves, so a reply can't be posted
    // before the record expects it.
    lep3::link::store_reply_field(command_read.command_id, command_id);
    lep3::link::store_reply_field(command_read.type, int32_t{type});
    lep3::link::publish_reply_state(kReplyAwaited);

    // A port the library no longer holds is never written: write_port refuses it as a
    // closed descriptor would.
    const ssize_t written = lep3::link::write_port(request);
    if (written != static_cast<ssize_t>(request.size())) {
        if (lep3::link::bridge_gone())
            return kGone;
        lep3::console::print(messages.send_error, static_cast<int>(written));
        return kSendError;
    }

    for (int polls = 0; lep3::link::load_reply_state() != kReplyPosted; ++polls) {
        if (lep3::link::bridge_gone())
            return kGone; // pulled while the reply was awaited: no reply can come
        if (polls == kReplyPolls) {
            lep3::link::bump(lep3::link::link_counters.command_timeouts);
            lep3::console::put_line(messages.timeout);
            return kTimeout;
        }
        usleep(kPollPause);
    }

    // The acquire load of state makes every field the parser wrote before posting
    // visible; work on one copy so the check and the caller see the same reply.
    const command_read_t posted = lep3::link::snapshot_reply();
    if (posted.command_id != command_id) {
        lep3::console::print(messages.id_error, static_cast<int>(posted.command_id));
        return kWrongId;
    }
    if (posted.data_len == kStatusReplyLen && posted.data[0] != 0) {
        lep3::console::print(messages.failure, static_cast<unsigned>(posted.data[0]));
        return kFailed;
    }
    if (reply != nullptr)
        *reply = posted;
    return kOk;
}

} // namespace

int LEP3_RunCommand(uint16_t command_id, command_read_t *reply)
{
    static constexpr Messages kMessages{
        "LEP3_RunCommand: send command error:%d!\n",
        "LEP3_RunCommand: reply timeout",
        "LEP3_RunCommand: reply commandID error:%d\n",
        "LEP3_RunCommand: execute run command failed, reply:%02X\n",
    };
    Request request(command_id, kTypeRun);
    return transact(command_id, kTypeRun, request.finish(), kMessages, reply);
}

int LEP3_GetCommand(uint16_t command_id, uint8_t word_count, command_read_t *reply)
{
    static constexpr Messages kMessages{
        "LEP3_GetCommand: send command error:%d!\n",
        "LEP3_GetCommand: reply timeout",
        "LEP3_GetCommand: reply commandID error:%d\n",
        "LEP3_GetCommand: execute get command failed, reply:%02X\n",
    };
    Request request(command_id, kTypeGet);
    request.put(word_count);
    return transact(command_id, kTypeGet, request.finish(), kMessages, reply);
}

int LEP3_SetCommand(uint16_t command_id, const void *payload, uint32_t payload_size, command_read_t *reply)
{
    static constexpr Messages kMessages{
        "LEP3_SetCommand: send command error:%d!\n",
        "LEP3_SetCommand: reply timeout",
        "LEP3_SetCommand: reply commandID error:%d\n",
        "LEP3_SetCommand: execute set command failed, reply:%02X\n",
    };
    // No caller sends more than the shutter-mode object; a larger payload is refused
    // rather than split or truncated.
    if (payload_size > kMaxSetPayload)
        return kOutOfRange;
    if (payload == nullptr && payload_size != 0)
        return kNullPointer;
    Request request(command_id, kTypeSet);
    request.put({static_cast<const uint8_t *>(payload), payload_size});
    return transact(command_id, kTypeSet, request.finish(), kMessages, reply);
}
