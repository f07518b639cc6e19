#include "sim/request_reader.h"

#include "sim/checksums.h"
#include "sim/video.h"

namespace lep3::sim {

namespace {

constexpr size_t kHeadBytes = 3; // AA 55 L
constexpr uint8_t kTypeGet = 0, kTypeSet = 1, kTypeRun = 2;
constexpr size_t kVideoBody = 2; // 04 mode
constexpr size_t kRunBody = 3;   // idHi idLo 02
constexpr size_t kGetBody = 4;   // idHi idLo 00 n
constexpr size_t kSetHead = 3;   // idHi idLo 01, then the payload
constexpr uint8_t kVideoTag = 0x04;

} // namespace

std::optional<std::vector<uint8_t>> RequestReader::feed(uint8_t b)
{
    switch (state_) {
    case State::hunt:
        if (b == kSync0) {
            packet_.assign(1, b);
            state_ = State::sync;
        }
        break;
    case State::sync:
        if (b == kSync1) {
            packet_.push_back(b);
            state_ = State::length;
        } else if (b != kSync0) {
            state_ = State::hunt;
        }
        break;
    case State::length:
        packet_.push_back(b);
        body_left_ = b;
        state_ = body_left_ ? State::body : State::check;
        break;
    case State::body:
        packet_.push_back(b);
        if (--body_left_ == 0)
            state_ = State::check;
        break;
    case State::check:
        state_ = State::hunt;
        if (crc8(packet_) != b) {
            ++crc_errors_;
            break;
        }
        packet_.push_back(b);
        return std::move(packet_);
    }
    return std::nullopt;
}

Request decode_request(const std::vector<uint8_t> &packet)
{
    Request r;
    const size_t body = packet.size() - kHeadBytes - 1;
    const uint8_t *p = packet.data() + kHeadBytes;
    if (body == kVideoBody && p[0] == kVideoTag && (p[1] == kModeRaw || p[1] == kModeRgb)) {
        r.kind = Request::Kind::video;
        r.id = static_cast<uint16_t>(p[0] << 8 | p[1]);
        r.video_mode = p[1];
        return r;
    }
    if (body < kRunBody)
        return r;
    r.id = static_cast<uint16_t>(p[0] << 8 | p[1]);
    r.type = p[2];
    if (r.type == kTypeRun && body == kRunBody) {
        r.kind = Request::Kind::run;
    } else if (r.type == kTypeGet && body == kGetBody) {
        r.kind = Request::Kind::get;
        r.words = p[3];
    } else if (r.type == kTypeSet) {
        r.kind = Request::Kind::set;
        r.payload.assign(p + kSetHead, p + body);
    }
    return r;
}

} // namespace lep3::sim
