// The library's one way out to the console, and the host's hook into it.
#include "link/console.h"

#include <pthread.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "lep3.h"

namespace {

// The handler and its context change together; a message takes a copy of both under the
// lock and calls the handler outside it, so a handler may itself install another.
std::mutex handler_lock;
lep3_message_handler_t installed = LEP3_ConsoleMessages;
void *installed_context = nullptr;

struct Route {
    lep3_message_handler_t handler;
    void *context;
    bool console() const { return handler == LEP3_ConsoleMessages; }
};

Route route()
{
    const std::lock_guard<std::mutex> guard(handler_lock);
    return {installed, installed_context};
}

// The reader and parser print from threads that are stopped with pthread_cancel. A host's
// handler may wait on locks of its own (an interpreter's lock, a logging lock); a
// cancellation acted on inside it would unwind through the host's frames and leave those
// locks held for ever. The cancellation waits for the library's next cancellation point.
class CancellationDeferred {
  public:
    CancellationDeferred() { (void)pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_); }
    ~CancellationDeferred() { (void)pthread_setcancelstate(previous_, nullptr); }
    CancellationDeferred(const CancellationDeferred &) = delete;
    CancellationDeferred &operator=(const CancellationDeferred &) = delete;

  private:
    int previous_ = PTHREAD_CANCEL_ENABLE;
};

void deliver(const Route &to, int stream, const char *text)
{
    if (to.handler == nullptr)
        return;
    const CancellationDeferred deferred;
    to.handler(stream, text, to.context);
}

} // namespace

namespace lep3::console {

void print(const char *format, ...)
{
    const Route to = route();
    va_list args;
    va_start(args, format);
    if (to.console()) {
        (void)std::vprintf(format, args);
    } else if (to.handler != nullptr) {
        char text[512];
        va_list again;
        va_copy(again, args);
        const int n = std::vsnprintf(text, sizeof text, format, args);
        if (n >= 0 && static_cast<size_t>(n) >= sizeof text) {
            std::string longer(static_cast<size_t>(n) + 1, '\0');
            (void)std::vsnprintf(longer.data(), longer.size(), format, again);
            deliver(to, 1, longer.c_str());
        } else if (n >= 0) {
            deliver(to, 1, text);
        }
        va_end(again);
    }
    va_end(args);
}

void put_line(const char *text)
{
    const Route to = route();
    if (to.console())
        (void)std::puts(text);
    else if (to.handler != nullptr)
        deliver(to, 1, (std::string(text) + '\n').c_str());
}

void write_error(const char *text)
{
    const Route to = route();
    if (to.console())
        (void)std::fputs(text, stderr);
    else
        deliver(to, 2, text);
}

void print_errno(const char *text)
{
    const int error = errno;
    const Route to = route();
    if (to.console()) {
        errno = error;
        std::perror(text);
    } else if (to.handler != nullptr) {
        deliver(to, 2, (std::string(text) + ": " + std::strerror(error) + '\n').c_str());
    }
}

} // namespace lep3::console

extern "C" LEP3_API int LEP3_SetMessageHandler(lep3_message_handler_t handler, void *context)
{
    const std::lock_guard<std::mutex> guard(handler_lock);
    installed = handler;
    installed_context = context;
    return 0;
}

extern "C" LEP3_API void LEP3_ConsoleMessages(int stream, const char *text, void *)
{
    if (text != nullptr)
        (void)std::fputs(text, stream == 2 ? stderr : stdout);
}
