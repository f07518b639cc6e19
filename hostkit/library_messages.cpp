#include "hostkit/library_messages.h"

#include <cstdio>
#include <mutex>
#include <string_view>

#include "hostkit/console.h"
#include "lep3.h"

namespace lep3tool {

namespace {

// The library calls the handler from any of its threads.
std::mutex lock;
bool verbose_mode = false;
bool holding = false;
std::vector<std::pair<int, std::string>> held;
// What a service's log has not yet been given of each stream: the start of a line.
std::string partial[2];

// To a service's log a line at a time (its standard-error messages are warnings), else
// to standard error as they come.
void show(int stream, const std::string &text)
{
    if (!verbose_mode)
        return;
    const LogSink sink = log_sink();
    if (sink == nullptr) {
        write_library_text(text.c_str());
        return;
    }
    std::string &pending = partial[stream == 2 ? 1 : 0];
    pending += text;
    for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty())
            sink(stream == 2 ? kLogWarning : kLogInfo, line.c_str());
    }
}

void on_message(int stream, const char *text, void * /*context*/)
{
    const std::lock_guard guard(lock);
    if (holding)
        held.emplace_back(stream, text);
    else
        show(stream, text);
}

std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

constexpr std::string_view kOwnPrefix = "LEP3: ";

} // namespace

void route_library_messages(bool verbose)
{
    {
        const std::lock_guard guard(lock);
        verbose_mode = verbose;
    }
    LEP3_SetMessageHandler(on_message, nullptr);
}

HeldMessages::HeldMessages()
{
    const std::lock_guard guard(lock);
    holding = true;
    held.clear();
}

HeldMessages::~HeldMessages()
{
    const std::lock_guard guard(lock);
    holding = false;
    for (const auto &message : held)
        show(message.first, message.second);
    held.clear();
}

void HeldMessages::discard()
{
    const std::lock_guard guard(lock);
    held.clear();
}

std::vector<std::pair<int, std::string>> HeldMessages::copy() const
{
    const std::lock_guard guard(lock);
    return held;
}

bool HeldMessages::explained() const
{
    for (const auto &message : copy())
        if (std::string_view(message.second).substr(0, kOwnPrefix.size()) == kOwnPrefix)
            return true;
    return false;
}

std::string HeldMessages::reason() const
{
    std::string own;
    std::string cause;
    for (const auto &[stream, text] : copy()) {
        const std::string_view view(text);
        if (view.substr(0, kOwnPrefix.size()) == kOwnPrefix)
            own = trimmed(text.substr(kOwnPrefix.size()));
        else if (stream == 2 && cause.empty())
            cause = trimmed(text);
    }
    if (own.empty())
        return cause;
    return cause.empty() ? own : own + " (" + cause + ")";
}

} // namespace lep3tool
