#include "gstreamer/library_messages.h"

#include <mutex>
#include <string_view>

#include "gstreamer/lep3src.h"
#include "lep3.h"

#define GST_CAT_DEFAULT gst_lep3_src_debug

namespace lep3gst {

namespace {

// One capture at a time: the element that opens the camera is the only one in the process.
std::mutex capture_mutex;
std::string captured;
bool capturing = false;

std::string_view without_line_end(std::string_view text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.remove_suffix(1);
    return text;
}

void log_message(int stream, const char *text, void *)
{
    const std::string_view line = without_line_end(text != nullptr ? text : "");
    if (line.empty())
        return;
    const int length = static_cast<int>(line.size());
    if (stream == 2)
        GST_WARNING("library: %.*s", length, line.data());
    else
        GST_INFO("library: %.*s", length, line.data());

    const std::lock_guard lock(capture_mutex);
    if (capturing) {
        if (!captured.empty())
            captured += '\n';
        captured += line;
    }
}

} // namespace

void route_library_messages()
{
    LEP3_SetMessageHandler(log_message, nullptr);
}

void restore_library_messages()
{
    LEP3_SetMessageHandler(LEP3_ConsoleMessages, nullptr);
}

MessageCapture::MessageCapture()
{
    const std::lock_guard lock(capture_mutex);
    captured.clear();
    capturing = true;
}

MessageCapture::~MessageCapture()
{
    const std::lock_guard lock(capture_mutex);
    capturing = false;
    captured.clear();
}

std::string MessageCapture::text() const
{
    const std::lock_guard lock(capture_mutex);
    return captured;
}

} // namespace lep3gst
