// The token a viewer bound to another address than loopback asks for before anything
// changes the camera or takes a snapshot: anyone on the network may watch, but only
// someone given the printed address with its token may act.
#pragma once

#include <string>
#include <string_view>

namespace lep3tool::serve {

// 128 random bits as 32 hexadecimal digits; throws std::runtime_error without randomness.
std::string make_token();

// The token kept in a file, so that it outlives a restart (a scraper's configuration
// holds it): the file's first line, 16 to 128 characters a URL carries as they are
// (letters, digits, '-', '.', '_', '~'). Throws std::runtime_error with a sentence saying
// what is wrong.
std::string read_token_file(const std::string &path);

// True for addresses only this machine reaches: 127.0.0.0/8, ::1 and "localhost".
bool is_loopback(std::string_view address);

// True for a Host header that names this machine by a loopback name: "localhost:8080",
// "127.0.0.1", "[::1]:80".
bool is_loopback_host(std::string_view host);

// Compares in a time that does not depend on where the strings differ.
bool token_matches(std::string_view given, std::string_view token);

} // namespace lep3tool::serve
