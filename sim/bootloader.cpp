#include "sim/bootloader.h"

#include <algorithm>
#include <string_view>

#include "sim/checksums.h"

namespace lep3::sim {

namespace {

constexpr uint8_t kEnd = 0x20;
constexpr uint8_t kSync = 0x21;
constexpr uint8_t kGetProperty = 0x22;
constexpr uint8_t kErase = 0x23;
constexpr uint8_t kData = 0x27;
constexpr uint8_t kGetCrc = 0x29;
constexpr uint8_t kBoot = 0x30;
constexpr uint8_t kPropertyVersion = 0x01;
constexpr uint8_t kPropertyFlashSize = 0x04;

const std::vector<uint8_t> kAck = {0x12, 0x10};
// Two answers that are not acknowledgements, each differing from it in one byte only,
// so a host that checks one byte of the two is caught.
const std::vector<uint8_t> kBusy = {0x12, 0x11};
const std::vector<uint8_t> kRefused = {0x1F, 0x10};

// The erase takes about 0.9 s: the first poll (after 0.5 s) sees "busy", the second the
// acknowledgement. An erase that never completes answers "busy" every 0.5 s for longer
// than the host polls.
constexpr int kEraseBusyAtMs = 400;
constexpr int kEraseDoneAtMs = 900;
constexpr int kErasePollMs = 500;
constexpr int kEraseBusyAnswersWhenStuck = 12;

constexpr uint32_t kWrongCrcFlip = 0x00010000;

constexpr std::string_view kVersionStamp = "SAMG55;V";

std::vector<uint8_t> le32_then_ack(uint32_t v)
{
    return {static_cast<uint8_t>(v),
            static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24),
            kAck[0],
            kAck[1]};
}

} // namespace

std::optional<uint16_t> stamped_version(std::span<const uint8_t> image)
{
    const auto at = std::search(image.begin(), image.end(), kVersionStamp.begin(), kVersionStamp.end());
    if (at == image.end())
        return std::nullopt;
    auto digit = [](uint8_t c) { return c >= '0' && c <= '9'; };
    auto p = at + static_cast<std::ptrdiff_t>(kVersionStamp.size());
    unsigned major = 0;
    bool any = false;
    for (; p != image.end() && digit(*p) && major < 1000; ++p, any = true)
        major = major * 10 + (*p - '0');
    if (!any)
        return std::nullopt;
    unsigned hundredths = 0;
    if (p != image.end() && *p == '.') {
        ++p;
        for (unsigned scale = 10; scale > 0 && p != image.end() && digit(*p); ++p, scale /= 10)
            hundredths += scale * (*p - '0');
    }
    return static_cast<uint16_t>(major * 100 + hundredths);
}

Bootloader::Outcome Bootloader::feed(uint8_t b, Faults &faults)
{
    switch (state_) {
    case State::opcode:
        opcode_ = b;
        if (b == kGetProperty)
            state_ = State::param;
        else if (b == kData)
            state_ = State::count;
        else if (b == kSync || b == kErase || b == kGetCrc || b == kBoot)
            state_ = State::end;
        break;
    case State::param:
        param_ = b;
        state_ = State::end;
        break;
    case State::count:
        count_ = b;
        block_.clear();
        state_ = count_ ? State::data : State::end;
        break;
    case State::data:
        block_.push_back(b);
        if (block_.size() == count_)
            state_ = State::end;
        break;
    case State::end:
        state_ = State::opcode;
        if (b == kEnd)
            return execute(faults);
        // A broken command: take this byte as the next opcode.
        return feed(b, faults);
    }
    return {};
}

Bootloader::Outcome Bootloader::execute(Faults &faults)
{
    Outcome out;
    out.command = true;
    auto answer = [&out](std::vector<uint8_t> bytes, int delay_ms = 0, bool erase_poll = false) {
        out.replies.push_back({delay_ms, std::move(bytes), erase_poll});
    };
    switch (opcode_) {
    case kSync:
        if (faults.refuse_sync > 0) {
            --faults.refuse_sync;
            answer(kRefused);
        } else {
            answer(kAck);
        }
        break;
    case kGetProperty:
        if (param_ == kPropertyVersion)
            answer({kBootloaderVersion, kAck[0], kAck[1]});
        else if (param_ == kPropertyFlashSize)
            answer(le32_then_ack(flash_size_));
        else
            answer(kRefused);
        break;
    case kErase:
        flash_.clear();
        block_index_ = 0;
        if (faults.erase_never_completes) {
            for (int i = 0; i < kEraseBusyAnswersWhenStuck; ++i)
                answer(kBusy, kEraseBusyAtMs + i * kErasePollMs, true);
        } else {
            answer(kBusy, kEraseBusyAtMs, true);
            answer(kAck, kEraseDoneAtMs, true);
        }
        break;
    case kData: {
        const int index = block_index_++;
        if (index == faults.drop_block_ack)
            break;
        if (index == faults.refuse_block) {
            answer(kRefused);
            break;
        }
        flash_.insert(flash_.end(), block_.begin(), block_.end());
        answer(kAck);
        break;
    }
    case kGetCrc: {
        uint32_t crc = flash_crc32(flash_, flash_size_);
        if (faults.wrong_crc)
            crc ^= kWrongCrcFlip;
        answer(le32_then_ack(crc));
        break;
    }
    case kBoot:
        if (faults.refuse_boot) {
            answer(kRefused);
        } else {
            answer(kAck);
            out.boot = true;
        }
        break;
    default:
        break;
    }
    return out;
}

} // namespace lep3::sim
