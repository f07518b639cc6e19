#include "serve/client_slots.h"

namespace lep3tool::serve {

ClientSlots::Slot::~Slot()
{
    if (slots_ != nullptr)
        slots_->give_back(address_);
}

std::optional<ClientSlots::Slot> ClientSlots::take(const std::string &address, Refusal &why)
{
    const std::lock_guard lock(mutex_);
    if (all_ >= total_) {
        why = Refusal::total;
        return std::nullopt;
    }
    unsigned &mine = taken_[address];
    if (mine >= per_address_) {
        why = Refusal::address;
        return std::nullopt;
    }
    ++mine;
    ++all_;
    return std::optional<Slot>(std::in_place, *this, address);
}

void ClientSlots::give_back(const std::string &address)
{
    const std::lock_guard lock(mutex_);
    --all_;
    const auto it = taken_.find(address);
    if (--it->second == 0)
        taken_.erase(it);
}

} // namespace lep3tool::serve
