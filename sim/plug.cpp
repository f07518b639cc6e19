// The bridge's cable and its devices: the application's or the bootloader's device appears
// (at the start, after a restart or boot, at a re-plug) and goes (before a restart or boot,
// at an unplug); whatever was meant for a device that went is dropped with it.
#include <stdexcept>
#include <thread>

#include "sim/bridge_sim_internal.h"

namespace lep3::sim {

namespace {

constexpr size_t kUserRbfoBytes = 16;

const char *mode_name(Mode m)
{
    switch (m) {
    case Mode::app:
        return "application";
    case Mode::bootloader:
        return "bootloader";
    case Mode::gone:
        break;
    }
    return "gone";
}

} // namespace

void BridgeSim::Impl::install(std::shared_ptr<PtyDevice> dev, Mode m)
{
    device = std::move(dev);
    mode = m;
    generation.fetch_add(1);
    streaming = false;
    reader_framing.reset();
    boot.reset_parser();
    say("%s device at %s (%s)\n", mode_name(m), device->link().c_str(), device->slave_name().c_str());
}

void BridgeSim::Impl::go_away()
{
    std::lock_guard lk(mu);
    if (device) {
        say("%s device at %s goes away\n", mode_name(mode), device->link().c_str());
        device->withdraw();
        device.reset();
    }
    mode = Mode::gone;
    generation.fetch_add(1);
    streaming = false;
}

void BridgeSim::Impl::appear(Mode m, const std::string &path)
{
    std::shared_ptr<PtyDevice> dev;
    try {
        dev = std::make_shared<PtyDevice>(path);
    } catch (const std::exception &e) {
        (void)std::fprintf(stderr, "bridge emulator: can't create %s: %s\n", path.c_str(), e.what());
        return;
    }
    std::lock_guard lk(mu);
    if (stopping || unplugged)
        return;
    install(std::move(dev), m);
    if (m == Mode::app) {
        // New firmware: the user RBFO set was lost with the old flash contents, and
        // only the host's write-back restores it.
        core.set_reg(cmd::kBridgeUserRbfo, std::vector<uint8_t>(kUserRbfoBytes, 0));
        rbfo_write_after_boot = true;
    }
}

void BridgeSim::unplug()
{
    std::weak_ptr<PtyDevice> closing;
    {
        std::lock_guard lk(impl_->mu);
        if (impl_->unplugged)
            return;
        impl_->unplugged = true;
        impl_->say("unplugged\n");
        // Answers, restarts and boots in flight die with the power.
        std::erase_if(impl_->queue, [](const Impl::Outgoing &o) { return !o.done; });
        closing = impl_->device;
    }
    impl_->go_away();
    // The reader and the writer drop their hold on the device within one of their polls;
    // the last one out closes it.
    const auto until = Clock::now() + kSendWait;
    while (!closing.expired() && Clock::now() < until)
        std::this_thread::sleep_for(kModePoll);
}

void BridgeSim::replug()
{
    std::shared_ptr<PtyDevice> dev;
    {
        std::lock_guard lk(impl_->mu);
        if (!impl_->unplugged)
            return;
    }
    dev = std::make_shared<PtyDevice>(impl_->opts.path); // throws like the constructor
    std::lock_guard lk(impl_->mu);
    if (!impl_->unplugged)
        return; // plugged meanwhile by another caller
    impl_->unplugged = false;
    impl_->core.power_on();
    impl_->say("plugged in again\n");
    impl_->install(std::move(dev), Mode::app);
}

bool BridgeSim::plugged() const
{
    std::lock_guard lk(impl_->mu);
    return !impl_->unplugged;
}

Mode BridgeSim::mode() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->mode;
}

bool BridgeSim::wait_mode(Mode m, int timeout_ms) const
{
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (mode() == m)
            return true;
        if (Clock::now() >= until)
            return false;
        std::this_thread::sleep_for(kModePoll);
    }
}

} // namespace lep3::sim
