// A request and its answer as the viewer's routes see them, apart from the HTTP server
// that carries them: the routes are plain functions of a request, which the server and
// the fuzz target call alike.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lep3tool::serve {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string path; // decoded, without the query
    Fields query;     // decoded names and values, in their order; a %00 stays a NUL byte
    Fields headers;   // names as the client wrote them
    std::string body;
    std::string client; // the client's address

    // The first value of a query parameter, or nothing.
    std::optional<std::string> param(std::string_view name) const;
    // A header's value (names compared without case), or empty.
    std::string header(std::string_view name) const;
};

// Gives the next piece of a long answer, waiting for it if need be; false ends the answer.
using ChunkSource = std::function<bool(std::string &chunk)>;

struct HttpResponse {
    int status = 200;
    std::string content_type;
    Fields headers;
    std::string body;
    ChunkSource stream; // set: the body comes from here, piece by piece, instead

    void set_header(std::string name, std::string value) { headers.emplace_back(std::move(name), std::move(value)); }
};

// Splits a request target ("/api/temperature?x=1&y=%202") into the request's path and
// query, decoding %XX escapes with the HTTP server library's own decoder.
void parse_target(std::string_view target, HttpRequest &req);

// Adds the fields of a form's body (application/x-www-form-urlencoded) to the query, as
// a form sent by GET would have them.
void add_form_fields(HttpRequest &req);

} // namespace lep3tool::serve
