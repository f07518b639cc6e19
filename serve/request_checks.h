// What the viewer checks in every request before it acts on one: that it comes from a
// page of its own (Host and Origin), that it carries the token where one is needed, and
// that the numbers and names in it are exactly what the paths document. Values that fail
// are quoted back only in part, however long they were.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "serve/http_exchange.h"

namespace lep3tool::serve {

// The longest part of a refused value an answer quotes.
constexpr size_t kShownMax = 24;

// The start of a value as an answer quotes it: at most kShownMax bytes, bytes outside
// printable ASCII as \xHH, and "..." when cut.
std::string shown(std::string_view value);

// A whole number written in plain decimal: an optional '-' and digits, nothing else (no
// sign '+', no 0x, no blanks, no NUL). Throws UsageError naming `what`, as the tool does.
int64_t parse_decimal(std::string_view text, std::string_view what, int64_t lo, int64_t hi);

// A setting's value as `lep3 set` takes it, strictly: on, off, true, false or plain
// decimal; trailing line ends and blanks of a body are dropped. Throws UsageError.
std::string setting_text(std::string_view value, std::string_view setting);

// A range as `lep3 capture --range` takes it, with each end's number in plain decimal
// (a fraction allowed in degrees and percentiles). Throws UsageError.
void check_range_text(std::string_view range);

// A name (palette, setting) short and printable enough to be looked up and quoted.
// Throws UsageError.
void check_name(std::string_view name, std::string_view what);

// True when a page of another site sent the request: its Origin is not the address it
// reached, or, on a viewer without token (loopback), its Host is not a loopback name
// (a site's own name made to resolve here: DNS rebinding).
bool from_another_site(const HttpRequest &req, bool loopback);

// The token as the page sends it (Authorization: Bearer) or as a link carries it (?token=).
std::string token_of(const HttpRequest &req);

// The page's own files need no token; everything else does on a viewer that has one.
bool is_page_file(const HttpRequest &req);

} // namespace lep3tool::serve
