#include "serve/viewer_output.h"

#include <vector>

#include "hostkit/console.h"
#include "serve/access_token.h"
#include "serve/reachable_hosts.h"

namespace lep3tool::serve {

namespace {

std::vector<std::string> page_urls(const std::string &address, int port, const std::string &token)
{
    std::vector<std::string> urls;
    for (const auto &host : reachable_hosts(address))
        urls.push_back("http://" + host + ":" + std::to_string(port) + "/" + (token.empty() ? "" : "?token=" + token));
    return urls;
}

} // namespace

ViewerOutput::ViewerOutput(FrameHub &hub, const FeedInfo &feed, ThermoSetup &thermo, const std::string &address,
                           int port, const ServiceLog &log, const std::string &token)
    : log_(log), address_(address), followers_(kStreamsPerAddress, kStreams),
      context_{hub,        feed,   pictures_,
               followers_, thermo, is_loopback(address) ? "" : (token.empty() ? make_token() : token)},
      server_(context_, address, port)
{
}

void ViewerOutput::start()
{
    server_.start();
    const auto urls = page_urls(address_, server_.port(), context_.token);
    const char *token_note = "Only those who have the address with its token can watch the camera or act on it.";
    if (log_.journal()) {
        // One message a line, each complete.
        for (const auto &url : urls)
            log_.say(kLogNotice, "the viewer is at %s", url.c_str());
        if (!context_.token.empty())
            log_.say(kLogNotice, "%s", token_note);
        return;
    }
    if (urls.size() == 1) {
        log_.say(kLogNotice, "open %s (Ctrl-C to stop)", urls[0].c_str());
    } else {
        log_.say(kLogNotice, "open one of these (Ctrl-C to stop):");
        for (const auto &url : urls)
            print("  %s\n", url.c_str());
    }
    if (!context_.token.empty())
        print("%s\n", token_note);
    flush_output();
}

void ViewerOutput::stop()
{
    server_.stop();
}

} // namespace lep3tool::serve
