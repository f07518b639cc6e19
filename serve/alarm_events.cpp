#include "serve/alarm_events.h"

namespace lep3tool::serve {

std::vector<AlarmEvent> AlarmEvents::update(const std::vector<AlarmState> &alarms)
{
    std::vector<AlarmEvent> events;
    std::map<uint64_t, Seen> now;
    for (const AlarmState &a : alarms) {
        const auto before = seen_.find(a.id);
        const Seen was = before == seen_.end() ? Seen{} : before->second;
        now[a.id] = Seen{a.raised, a.times_raised};
        const uint64_t raisings = a.times_raised - was.times_raised;
        // Events alternate from the state before; k raisings among them end in the state now.
        uint64_t count = 0;
        if (!was.raised)
            count = raisings == 0 ? 0 : 2 * raisings - (a.raised ? 1 : 0);
        else
            count = 2 * raisings + (a.raised ? 0 : 1);
        bool raised = was.raised;
        for (uint64_t k = 0; k < count; ++k) {
            raised = !raised;
            events.push_back({a, raised, k + 1 < count});
        }
    }
    seen_ = std::move(now);
    return events;
}

} // namespace lep3tool::serve
