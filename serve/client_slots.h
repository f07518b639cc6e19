// Places for long-lived clients (followers of the event stream), counted per client
// address and in all, so that one address, or many, can't take every place.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace lep3tool::serve {

class ClientSlots {
  public:
    ClientSlots(unsigned per_address, unsigned total) : per_address_(per_address), total_(total) {}

    // Held while the client stays; its place is free again when the slot goes.
    class Slot {
      public:
        Slot(ClientSlots &slots, std::string address) : slots_(&slots), address_(std::move(address)) {}
        Slot(Slot &&other) noexcept : slots_(other.slots_), address_(std::move(other.address_))
        {
            other.slots_ = nullptr;
        }
        Slot(const Slot &) = delete;
        Slot &operator=(const Slot &) = delete;
        Slot &operator=(Slot &&) = delete;
        ~Slot();

      private:
        ClientSlots *slots_;
        std::string address_;
    };

    enum class Refusal { address, total };

    // A place for a client at address, or why there is none.
    std::optional<Slot> take(const std::string &address, Refusal &why);

  private:
    void give_back(const std::string &address);

    const unsigned per_address_;
    const unsigned total_;
    std::mutex mutex_;
    std::map<std::string, unsigned> taken_;
    unsigned all_ = 0;
};

} // namespace lep3tool::serve
