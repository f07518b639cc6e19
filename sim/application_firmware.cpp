// The application firmware's dispatch: a get reads the camera core's register, a set
// stores it, a run starts its action (or answers the bridge's version, or restarts into
// the bootloader), a video request starts the stream; the fault knobs bend the answer.
#include <algorithm>
#include <utility>

#include "sim/bridge_sim_internal.h"
#include "sim/checksums.h"

namespace lep3::sim {

namespace {

using namespace std::chrono_literals;

// Restart into the bootloader: the application device goes shortly after its reply (the
// host has read it by then) and the bootloader's appears a little later.
constexpr auto kRestartDeviceGoes = 100ms;
constexpr auto kBootloaderAppears = 300ms;

constexpr uint8_t kStatusOk = 0;
constexpr uint8_t kStatusFailed = 0x01;
constexpr size_t kReplyHead = 3;                    // ID and type, counted by the length byte
constexpr size_t kReplyDataMax = 0xFE - kReplyHead; // the length byte 0xFF announces a frame
constexpr uint8_t kTypeRun = 2;

} // namespace

std::vector<uint8_t> reply_packet(uint16_t id, uint8_t type, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> p;
    p.reserve(kReplyHead + data.size() + 4);
    for (uint8_t b : {kSync0, kSync1, static_cast<uint8_t>(kReplyHead + data.size()), static_cast<uint8_t>(id >> 8),
                      static_cast<uint8_t>(id), type})
        p.push_back(b);
    for (uint8_t b : data)
        p.push_back(b);
    p.push_back(crc8(p));
    append_idle_after_sync_check(p);
    return p;
}

void BridgeSim::Impl::serve(const Request &r)
{
    std::vector<uint8_t> data;
    switch (r.kind) {
    case Request::Kind::unknown:
        return;
    case Request::Kind::video:
        if (!streaming || stream_mode != r.video_mode)
            say("streaming %s frames %s\n", r.video_mode == kModeRaw ? "raw" : "RGB", pace_text().c_str());
        streaming = true;
        stream_mode = r.video_mode;
        next_frame = Clock::now();
        wake.notify_all();
        return;
    case Request::Kind::get:
        data = core.get(r.id, size_t{2} * r.words, faults);
        break;
    case Request::Kind::set:
        if (r.id == cmd::kBridgeUserRbfo && std::exchange(rbfo_write_after_boot, false) && faults.rbfo_write_fails) {
            data = {kStatusFailed};
            break;
        }
        core.set(r.id, r.payload);
        data = {kStatusOk};
        break;
    case Request::Kind::run:
        if (r.id == cmd::kBridgeVersion) {
            data = {static_cast<uint8_t>(opts.firmware_version), static_cast<uint8_t>(opts.firmware_version >> 8)};
        } else {
            core.run(r.id, faults);
            data = {kStatusOk};
        }
        break;
    }

    CommandFault fault;
    if (auto it = faults.commands.find(r.id); it != faults.commands.end())
        fault = it->second;
    if (fault.no_reply)
        return;
    if (fault.status >= 0)
        data = {static_cast<uint8_t>(fault.status)};
    if (fault.data_len_override >= 0)
        data.resize(std::min<size_t>(static_cast<size_t>(fault.data_len_override), kReplyDataMax), 0);
    const auto reply_id = static_cast<uint16_t>(fault.wrong_id ? r.id + 1 : r.id);

    Outgoing out;
    out.generation = generation;
    out.bytes = reply_packet(reply_id, r.type, data);
    out.byte_by_byte = fault.split_reply;
    const bool restart = r.kind == Request::Kind::run && r.id == cmd::kBridgeRestart && !fault.wrong_id &&
                         data.size() == 1 && data[0] == kStatusOk;
    if (restart)
        out.action = [this] { restart_into_bootloader(); };
    enqueue(std::move(out), std::chrono::milliseconds(fault.late_reply_ms));
}

void BridgeSim::Impl::restart_into_bootloader()
{
    std::lock_guard lk(mu);
    say("restarting into the bootloader\n");
    streaming = false;
    enqueue_action(kRestartDeviceGoes, [this] { go_away(); });
    enqueue_action(kBootloaderAppears, [this] { appear(Mode::bootloader, opts.boot_path); });
}

void BridgeSim::send_reset_notice()
{
    std::unique_lock lk(impl_->mu);
    impl_->core.power_on();
    impl_->say("camera core reset\n");
    impl_->send_and_wait(lk, reply_packet(cmd::kResetNotice, kTypeRun, {kStatusOk}), true);
}

} // namespace lep3::sim
