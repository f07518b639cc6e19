// Waiting for what other threads and processes do: look every few milliseconds until it
// is done, up to a limit, never for a fixed time.
#pragma once

#include <chrono>
#include <thread>

namespace lep3::test {

// Whether done() held before the limit passed.
template <class Done> bool eventually(Done &&done, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    for (const auto end = std::chrono::steady_clock::now() + limit; !done();
         std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > end)
            return false;
    return true;
}

} // namespace lep3::test
