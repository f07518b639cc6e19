// Where the library's messages go. The tool's standard output carries only its results;
// the library's messages (its progress and its own diagnoses) are the tool's to keep: shown
// on standard error with --verbose, otherwise only where the tool explains a failure in its
// own words. They reach the tool through the library's message handler, so nothing the
// library prints can land among the results.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace lep3tool {

// Installs the tool's handler; verbose shows every message as it comes. Call once, before
// any other call into the library.
void route_library_messages(bool verbose);

// While alive, the library's messages are kept instead of shown: for a step whose failure
// the tool reports itself, in one line. Unless discarded, they are shown when it ends, in
// order. One at a time.
class HeldMessages {
  public:
    HeldMessages();
    ~HeldMessages();
    HeldMessages(const HeldMessages &) = delete;
    HeldMessages &operator=(const HeldMessages &) = delete;

    // The held messages as one sentence: the last of the library's own explanations
    // ("LEP3: ..."), followed by the first system error it reported, in brackets; empty
    // when nothing was said.
    std::string reason() const;
    // True when the library explained something in its own words ("LEP3: ..."), beyond
    // the messages its procedures print as they go.
    bool explained() const;
    // Drops what was held: the tool has said it in its own words.
    void discard();

  private:
    std::vector<std::pair<int, std::string>> copy() const;
};

} // namespace lep3tool
