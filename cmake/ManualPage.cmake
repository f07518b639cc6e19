# lep3_manual_page(PAGE TARGET INCLUDE...): the section 1 manual page PAGE.1 of the program
# TARGET, written by help2man from the program's own --help and --version with the
# sections of the help2man include files INCLUDE (made in this directory or not), and
# installed with it. The page is made where help2man is found and the program runs on
# the build machine (not in a cross build).
include_guard(GLOBAL)
find_program(LEP3_HELP2MAN help2man)
if(NOT LEP3_HELP2MAN)
  message(STATUS "help2man not found: no manual pages")
endif()

function(lep3_manual_page page target)
  if(NOT LEP3_HELP2MAN OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${page}.1)
  set(includes "")
  foreach(include ${ARGN})
    list(APPEND includes --include=${include})
  endforeach()
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${LEP3_HELP2MAN} --no-info --section=1 ${includes} --output=${output} $<TARGET_FILE:${target}>
    DEPENDS ${target} ${ARGN}
    COMMENT "Writing the manual page ${page}(1)"
    VERBATIM)
  add_custom_target(${page}-manual-page ALL DEPENDS ${output})
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
