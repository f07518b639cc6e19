#include "tools/recording_telemetry.h"

#include <chrono>

#include "lep3.h"
#include "tools/command_thread.h"
#include "tools/signals.h"

namespace lep3tool {

namespace {

constexpr auto kPeriod = std::chrono::seconds(1);

} // namespace

// The first reading is the subcommand's own, which a stop signal may cut short; the
// thread's are not marked: a stop waits for the one in flight, and the recording ends in
// order.
Telemetry::Telemetry(RbfoSet set) : set_(set), latest_(awaiting_reply([this] { return read(); }))
{
    const SignalsBlocked blocked; // the stop signals go to the main thread
    thread_ = std::thread([this] { run(); });
}

Telemetry::~Telemetry()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

Telemetry::Reading Telemetry::latest() const
{
    const std::lock_guard lock(mutex_);
    return latest_;
}

Telemetry::Reading Telemetry::read() const
{
    Reading r;
    float fpa = 0;
    if (LEP3_GetSysFpaTemperatureCelcius(&fpa) == 0)
        r.fpa_celsius = fpa;
    lep3_rbfo_t rbfo{};
    const int rc = set_ == RbfoSet::internal ? LEP3_GetRadRBFOInternal0(&rbfo) : LEP3_GetRadRBFOExternal0(&rbfo);
    // R of 0 gives no temperature; the library's conversion uses its own B and F.
    if (rc == 0 && rbfo.r != 0)
        r.rbfo = lep3::recording::Rbfo{rbfo.r, lep3::recording::kConversionB, lep3::recording::kConversionF, rbfo.o};
    return r;
}

void Telemetry::run()
{
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, kPeriod, [this] { return stopping_; })) {
        lock.unlock();
        const Reading r = read();
        lock.lock();
        // A reading that failed keeps the one before: the values change slowly, and a
        // page with a slightly older value is better than a page without.
        if (r.fpa_celsius)
            latest_.fpa_celsius = r.fpa_celsius;
        if (r.rbfo)
            latest_.rbfo = r.rbfo;
    }
}

} // namespace lep3tool
