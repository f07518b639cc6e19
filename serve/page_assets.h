// The viewer's page (its HTML, script and stylesheet), compiled into the service from
// files in page/, so the installed program needs nothing else at run time.
#pragma once

#include <span>
#include <string_view>

namespace lep3tool::serve {

struct PageAsset {
    std::string_view path;         // where the server offers it: "/" for the page itself
    std::string_view content_type; // with its character set
    std::string_view body;
};

// Every file of the page; the table is made by embed_page.cmake at build time.
std::span<const PageAsset> page_assets();

} // namespace lep3tool::serve
