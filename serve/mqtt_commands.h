// Commands from the broker, taken only when the service is asked to (--mqtt-commands):
//   PREFIX/cmd/ffc          flat-field correction; payload empty, or rad=1 for the radiometric one
//   PREFIX/cmd/set/NAME     a setting named as for `lep3 set`; payload: the value
//   PREFIX/cmd/regions      adds a region; payload: the JSON of POST /api/regions
// Each is the HTTP API's request, judged by the same routes, and its answer is published
// on PREFIX/cmd/result: {"command": "set/agc", "status": 200, "answer": {...}}. They run
// one at a time on a thread of their own (a correction takes a while), a few waiting.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "serve/http_exchange.h"
#include "serve/routes.h"

namespace lep3tool::serve {

// The subscriptions that take the commands, under the prefix.
inline constexpr std::string_view kCommandTopics[] = {"/cmd/ffc", "/cmd/set/+", "/cmd/regions"};
inline constexpr std::string_view kResultTopic = "/cmd/result";

// The API's request for a command (the topic after PREFIX/cmd/), or nothing for a topic
// that is none.
std::optional<HttpRequest> command_request(std::string_view command, const std::string &payload);

// The result's payload for the answer to a command.
std::string command_result(std::string_view command, const HttpResponse &answer);

class CommandRunner {
  public:
    // publish takes each result's payload.
    CommandRunner(ViewContext &context, std::function<void(std::string)> publish);
    ~CommandRunner();
    CommandRunner(const CommandRunner &) = delete;
    CommandRunner &operator=(const CommandRunner &) = delete;

    // Queues a command; one too many, or one that is no command, is answered at once.
    void submit(std::string command, std::string payload);

  private:
    void run();

    ViewContext &context_;
    std::function<void(std::string)> publish_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<std::string, std::string>> waiting_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace lep3tool::serve
