// The frame hand-off between the parser and the host, as the session uses it: frames of
// any size and format queued, their check bytes noted, and frames taken with
// LEP3_WaitFrame into buffers of any capacity, or with LEP3_GetFrameFromQueue. Each input
// byte is one step; a small model of the newest frame says what every take must give:
// the newest frame not yet delivered, whole and only when it fits, never one twice, with
// the check byte noted for it; or nothing, with the buffer untouched.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/link_internal.h"

namespace {

constexpr size_t kSlotBytes = lep3::link::kRgbFrameBytes;
constexpr uint8_t kUntouched = 0xA5;

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "hand-off broken: %s\n", what);
        std::abort();
    }
}

enum class Check { pending, matched, mismatched };

struct Model {
    uint32_t next_number = 1;
    uint32_t newest = 0; // 0: nothing queued
    uint32_t newest_size = 0;
    uint32_t newest_format = 0;
    Check newest_check = Check::pending;
    uint32_t delivered = 0;
    bool undelivered() const { return newest != 0 && newest != delivered; }
};

std::vector<uint8_t> source(kSlotBytes + 1);
std::vector<uint8_t> out(kSlotBytes + 128); // beyond the largest capacity offered

// Sizes a step may give a frame: both real ones, the empty and tiny ones, and one too
// large for a slot (refused).
constexpr std::array<uint32_t, 6> kFrameSizes{
    lep3::link::kRawFrameBytes, lep3::link::kRgbFrameBytes, 0, 3, lep3::link::kRgbFrameBytes + 1, 1000};
// Capacities a take may offer.
constexpr std::array<size_t, 7> kCapacities{
    0, 4, 19200, lep3::link::kRawFrameBytes, kSlotBytes - 1, kSlotBytes, kSlotBytes + 64};

void queue_frame(Model &m, uint8_t v)
{
    const uint32_t size = kFrameSizes[(v >> 1) % kFrameSizes.size()] + (v >> 4);
    const frame_desc_t desc{0, v & 1U, lep3::link::kFrameWidth, lep3::link::kFrameHeight, size, m.next_number};
    // Every frame carries its number in its first bytes, so a take shows whose bytes it got.
    std::memcpy(source.data(), &m.next_number, sizeof m.next_number);
    const int result = LEP3_SendFrameToQueue(source.data(), &desc);
    if (size > kSlotBytes) {
        check(result == -1, "a frame larger than its slot was not refused");
        return;
    }
    check(result == 0, "a frame that fits was refused");
    m.newest = m.next_number++;
    m.newest_size = size;
    m.newest_format = desc.format;
    m.newest_check = Check::pending;
}

void expect_frame_in(const Model &m, uint32_t size)
{
    check(size == m.newest_size, "size");
    if (size >= sizeof(uint32_t)) {
        uint32_t number = 0;
        std::memcpy(&number, out.data(), sizeof number);
        check(number == m.newest, "the bytes are another frame's");
    }
}

void wait_frame(Model &m, uint8_t v)
{
    const size_t capacity = kCapacities[v % kCapacities.size()];
    std::memset(out.data(), kUntouched, out.size());
    lep3_frame_info_t info{};
    const int result = LEP3_WaitFrame(out.data(), capacity, &info, 0);
    // A frame whose check byte is not noted waits for it, or for its grace time to pass.
    const bool ready = m.undelivered() && m.newest_check != Check::pending;
    if (result != 0) {
        check(out[0] == kUntouched && out[capacity] == kUntouched, "a refused take wrote");
        if (result == -3)
            check(m.undelivered() && m.newest_size > capacity, "-3 for a frame that fits");
        else
            check(result == -2 && !(ready && m.newest_size <= capacity), "nothing given for a ready frame");
        return;
    }
    check(m.undelivered() && m.newest_size <= capacity, "a frame given that was not there or does not fit");
    check(info.frame_number == m.newest && info.format == m.newest_format, "another frame's facts");
    check(info.check_ok == (m.newest_check == Check::matched ? 1U : 0U), "check byte");
    check(info.width == lep3::link::kFrameWidth && info.height == lep3::link::kFrameHeight, "geometry");
    expect_frame_in(m, info.size);
    check(out[info.size] == kUntouched, "written beyond the frame");
    m.delivered = m.newest;
}

void get_frame(Model &m)
{
    // This call waits for a frame without limit: only taken when one is there.
    if (!m.undelivered())
        return;
    uint32_t width = 0, height = 0, format = 0, size = 0, number = 0;
    check(LEP3_GetFrameFromQueue(out.data(), &width, &height, &format, &size, &number) == 0, "GetFrameFromQueue");
    check(number == m.newest && format == m.newest_format, "another frame's descriptor");
    expect_frame_in(m, size);
    m.delivered = m.newest;
}

bool set_up()
{
    LEP3_SetMessageHandler(nullptr, nullptr);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = set_up();
    if (!ready)
        return 0;
    // A fresh queue for every input, so a crash input reproduces alone.
    frame_queue_free(&frame_queue);
    if (frame_queue_init(&frame_queue, static_cast<int32_t>(kSlotBytes), lep3::link::kFrameHeight,
                         lep3::link::kFrameWidth) != 0)
        std::abort();
    last_delivered = 0;
    Model m;
    for (size_t i = 0; i + 1 < size; i += 2) {
        const uint8_t v = data[i + 1];
        switch (data[i] % 4) {
        case 0:
            queue_frame(m, v);
            break;
        case 1:
            lep3::link::note_frame_check((v & 1) != 0);
            if (m.newest != 0)
                m.newest_check = (v & 1) != 0 ? Check::matched : Check::mismatched;
            break;
        case 2:
            wait_frame(m, v);
            break;
        default:
            get_frame(m);
            break;
        }
    }
    return 0;
}
