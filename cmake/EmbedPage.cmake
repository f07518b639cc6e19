# lep3_embed_page(OUTPUT): the rule that compiles the viewer's page files (serve/page) into
# a C++ source defining page_assets(), for the service and for the targets that call its
# routes without it (the request fuzzer).
function(lep3_embed_page output)
  set(page_dir ${PROJECT_SOURCE_DIR}/serve/page)
  set(script ${PROJECT_SOURCE_DIR}/serve/embed_page.cmake)
  set(page_files ${page_dir}/index.html ${page_dir}/view.js ${page_dir}/view.css)
  # A list would split the command line at its semicolons: the script takes "|".
  list(JOIN page_files "|" page_inputs)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} "-DOUTPUT=${output}" "-DINPUTS=${page_inputs}" -P ${script}
    DEPENDS ${page_files} ${script}
    COMMENT "Compiling the viewer's page"
    VERBATIM)
endfunction()
