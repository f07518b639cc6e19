#include "serve/mqtt_commands.h"

#include <nlohmann/json.hpp>

#include "hostkit/signals.h"
#include "serve/request_checks.h"
#include "serve/view_json.h"

namespace lep3tool::serve {

namespace {

// Commands waiting while one runs; more are refused.
constexpr size_t kMostWaiting = 8;
constexpr int kNotFound = 404;
constexpr int kUnavailable = 503;
constexpr std::string_view kSetPrefix = "set/";

HttpResponse refusal(int status, const std::string &why)
{
    HttpResponse res;
    res.status = status;
    res.body = json_text({{"error", why}});
    return res;
}

} // namespace

std::optional<HttpRequest> command_request(std::string_view command, const std::string &payload)
{
    HttpRequest req;
    req.method = "POST";
    req.body = payload;
    req.client = "mqtt";
    if (command == "ffc") {
        req.path = "/api/ffc";
        req.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
        add_form_fields(req);
    } else if (command == "regions") {
        req.path = "/api/regions";
    } else if (command.starts_with(kSetPrefix) && command.size() > kSetPrefix.size()) {
        req.path = "/api/settings/" + std::string(command.substr(kSetPrefix.size()));
    } else {
        return std::nullopt;
    }
    return req;
}

std::string command_result(std::string_view command, const HttpResponse &answer)
{
    nlohmann::json body = nlohmann::json::parse(answer.body, nullptr, false);
    if (body.is_discarded())
        body = answer.body;
    return json_text({{"command", std::string(command)}, {"status", answer.status}, {"answer", body}});
}

CommandRunner::CommandRunner(ViewContext &context, std::function<void(std::string)> publish)
    : context_(context), publish_(std::move(publish))
{
    const SignalsBlocked blocked;
    thread_ = std::thread([this] { run(); });
}

CommandRunner::~CommandRunner()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void CommandRunner::submit(std::string command, std::string payload)
{
    {
        const std::lock_guard lock(mutex_);
        if (waiting_.size() < kMostWaiting) {
            waiting_.emplace_back(std::move(command), std::move(payload));
            wake_.notify_one();
            return;
        }
    }
    publish_(command_result(shown(command), refusal(kUnavailable, "too many commands are waiting; try again later")));
}

void CommandRunner::run()
{
    for (;;) {
        std::pair<std::string, std::string> next;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
            if (stopping_)
                return;
            next = std::move(waiting_.front());
            waiting_.pop_front();
        }
        const auto &[command, payload] = next;
        const auto req = command_request(command, payload);
        const HttpResponse res = req ? answer(*req, context_) : refusal(kNotFound, "no such command");
        publish_(command_result(shown(command), res));
    }
}

} // namespace lep3tool::serve
