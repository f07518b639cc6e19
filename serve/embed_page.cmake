# Turns the viewer's page files into a C++ source that defines page_assets(), so the
# page is part of the service. Run by the build as
#   cmake -DOUTPUT=page_assets.cpp -DINPUTS="a.html|b.js|c.css" -P embed_page.cmake
# index.html is offered at "/", every other file at "/" followed by its name.

string(REPLACE "|" ";" INPUTS "${INPUTS}")

function(content_type_of file out)
  get_filename_component(ext "${file}" LAST_EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  else()
    message(FATAL_ERROR "embed_page.cmake: no content type for ${file}")
  endif()
  set(${out} "${type}" PARENT_SCOPE)
endfunction()

set(arrays "")
set(entries "")
set(index 0)
foreach(input IN LISTS INPUTS)
  get_filename_component(name "${input}" NAME)
  if(name STREQUAL "index.html")
    set(path "/")
  else()
    set(path "/${name}")
  endif()
  content_type_of("${input}" type)
  file(READ "${input}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  # Sixteen bytes a line keep the generated file readable in a debugger.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "// ${name}\nconstexpr unsigned char kFile${index}[${size}] = {\n    ${bytes}\n};\n\n")
  string(APPEND entries
         "    {\"${path}\", \"${type}\", {reinterpret_cast<const char *>(kFile${index}), sizeof kFile${index}}},\n")
  math(EXPR index "${index} + 1")
endforeach()

set(source "// Made by serve/embed_page.cmake from the page's files at build time; do not edit.
#include \"serve/page_assets.h\"

namespace lep3tool::serve {

namespace {

${arrays}} // namespace

std::span<const PageAsset> page_assets()
{
    static const PageAsset assets[] = {
${entries}    };
    return assets;
}

} // namespace lep3tool::serve
")

# Rewrite only on change, so an unchanged page does not rebuild the tool.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
  if(old STREQUAL source)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${source}")
