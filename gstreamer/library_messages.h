// The library's printed messages, taken into the element's debug category while an
// element holds the camera, and collected around a call whose failure the element reports.
#pragma once

#include <string>

namespace lep3gst {

// Sends every message of the library to the debug log (standard error texts as warnings,
// the rest as information) instead of standard output.
void route_library_messages();
// The library prints again, as it does without a host handler.
void restore_library_messages();

// Collects the text of the messages the library prints while it exists (from any thread).
class MessageCapture {
  public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    // The messages so far, one per line, without the final line end.
    std::string text() const;
};

} // namespace lep3gst
