// BridgeSim's life and what the tests read of it: the constructor publishes the
// application device and starts the reader and writer threads; the destructor stops and
// joins them and withdraws the device.
#include <algorithm>
#include <stdexcept>

#include "sim/bridge_sim_internal.h"

namespace lep3::sim {

BridgeSim::BridgeSim(Options options)
{
    if (options.path.empty())
        throw std::invalid_argument("bridge emulator: no device path");
    if (options.boot_path.empty())
        options.boot_path = options.path + ".boot";
    if (options.path_after_boot.empty())
        options.path_after_boot = options.path;
    std::unique_ptr<Replay> replay;
    if (!options.replay.empty()) {
        replay = open_replay(options.replay, options.replay_loop);
        if (const auto version = replay->file().firmware_version)
            options.firmware_version = static_cast<uint16_t>(*version);
    }
    impl_ = std::make_unique<Impl>(std::move(options));
    impl_->replay = std::move(replay);
    {
        std::lock_guard lk(impl_->mu);
        const bool stranded = impl_->opts.in_bootloader;
        impl_->install(std::make_shared<PtyDevice>(stranded ? impl_->opts.boot_path : impl_->opts.path),
                       stranded ? Mode::bootloader : Mode::app);
    }
    impl_->reader = std::thread([this] { impl_->reader_loop(); });
    impl_->writer = std::thread([this] { impl_->writer_loop(); });
}

BridgeSim::~BridgeSim()
{
    {
        std::lock_guard lk(impl_->mu);
        impl_->stopping = true;
        impl_->wake.notify_all();
    }
    impl_->reader.join();
    impl_->writer.join();
    std::lock_guard lk(impl_->mu);
    if (impl_->device)
        impl_->device->withdraw();
    impl_->device.reset();
}

const std::string &BridgeSim::path() const
{
    return impl_->opts.path;
}

Faults BridgeSim::faults() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->faults;
}

void BridgeSim::set_faults(const Faults &faults)
{
    std::lock_guard lk(impl_->mu);
    impl_->faults = faults;
    impl_->wake.notify_all();
}

std::vector<uint8_t> BridgeSim::reg(uint16_t id) const
{
    std::lock_guard lk(impl_->mu);
    return impl_->core.reg(id);
}

void BridgeSim::set_reg(uint16_t id, std::vector<uint8_t> bytes)
{
    std::lock_guard lk(impl_->mu);
    impl_->core.set_reg(id, std::move(bytes));
}

std::vector<std::vector<uint8_t>> BridgeSim::requests() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->request_log;
}

std::vector<uint8_t> BridgeSim::received() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->received_log;
}

std::vector<uint8_t> BridgeSim::boot_received() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->boot_received_log;
}

size_t BridgeSim::crc_errors() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->reader_framing.crc_errors();
}

void BridgeSim::clear_requests()
{
    std::lock_guard lk(impl_->mu);
    impl_->request_log.clear();
    impl_->received_log.clear();
    impl_->boot_received_log.clear();
    impl_->reader_framing.clear_errors();
}

size_t BridgeSim::request_count(uint16_t id) const
{
    constexpr size_t kIdAt = 3; // after AA 55 L
    std::lock_guard lk(impl_->mu);
    return static_cast<size_t>(std::count_if(impl_->request_log.begin(), impl_->request_log.end(), [id](const auto &p) {
        return p.size() > kIdAt + 2 && (p[kIdAt] << 8 | p[kIdAt + 1]) == id;
    }));
}

uint64_t BridgeSim::frames_sent() const
{
    return impl_->frames_sent;
}

std::vector<uint32_t> BridgeSim::corrupted_frames() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->corrupted;
}

std::vector<uint8_t> BridgeSim::programmed_image() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->boot.programmed();
}

} // namespace lep3::sim
