#include "recording/telemetry.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>

namespace lep3::recording {

namespace {

constexpr auto kPeriod = std::chrono::seconds(1);

// Blocks every signal in the calling thread while it lives; a thread created meanwhile
// inherits the mask.
class AllSignalsBlocked {
  public:
    AllSignalsBlocked()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked &) = delete;
    AllSignalsBlocked &operator=(const AllSignalsBlocked &) = delete;

  private:
    sigset_t saved_;
};

} // namespace

Telemetry::Reading Telemetry::read(const TelemetrySource &source)
{
    Reading r;
    float fpa = 0;
    if (source.fpa_celsius(&fpa) == 0)
        r.fpa_celsius = fpa;
    lep3_rbfo_t rbfo{};
    // R of 0 gives no temperature; the library's conversion uses its own B and F.
    if (source.rbfo(&rbfo) == 0 && rbfo.r != 0)
        r.rbfo = Rbfo{rbfo.r, kConversionB, kConversionF, rbfo.o};
    return r;
}

Telemetry::Telemetry(const TelemetrySource &source, const Reading &first) : source_(source), latest_(first)
{
    const AllSignalsBlocked blocked;
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

void Telemetry::run()
{
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, kPeriod, [this] { return stopping_; })) {
        lock.unlock();
        const Reading r = read(source_);
        lock.lock();
        // A reading that failed keeps the one before: the values change slowly, and a
        // page with a slightly older value is better than a page without.
        if (r.fpa_celsius)
            latest_.fpa_celsius = r.fpa_celsius;
        if (r.rbfo)
            latest_.rbfo = r.rbfo;
    }
}

} // namespace lep3::recording
