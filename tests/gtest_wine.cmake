# patch_add_gtest_program(TARGET [DISPLAY SUITE|SUITE.CASE...])
#
# The tests of a GoogleTest program of a Windows build: one run of the whole
# program, PRESET.TARGET, with every case but those named under DISPLAY. Each
# run is a start of Wine (through the toolchain's emulator, tests/wine/run.sh),
# which costs more than most cases: a run per suite took four times as long as
# one per program. A failed case is named in the program's output
# (--output-on-failure), and nothing needs listing, so no case is left out.
#
# DISPLAY names what shows windows: a suite or one case, each then a run of
# its own, PRESET.SUITE or PRESET.SUITE.CASE, on the Wine prefix's X server
# (WINE_TEST_DISPLAY=auto), one at a time with the end-to-end runs, whose
# drivers look there for the program's windows. The rest runs with no display, where a window that
# should not be there fails at once (and a fatal report's message box returns
# at once, which the cases that let a report return rely on). The names are
# checked against the TEST and TEST_F lines of the target's sources, so that
# a misspelt one fails the configuration rather than run nothing.
function(patch_add_gtest_program target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "DISPLAY")
  get_target_property(sources ${target} SOURCES)
  set(known)
  foreach(source IN LISTS sources)
    if(NOT source MATCHES "\\.cpp$")
      continue()
    endif()
    get_filename_component(path ${source} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
    file(STRINGS ${path} lines REGEX "^[ \t]*TEST(_F)?[ \t]*\\(")
    foreach(line IN LISTS lines)
      if(line MATCHES "^[ \t]*TEST(_F)?[ \t]*\\([ \t]*([A-Za-z_0-9]+)[ \t]*,[ \t]*([A-Za-z_0-9]+)")
        list(APPEND known ${CMAKE_MATCH_2} ${CMAKE_MATCH_2}.${CMAKE_MATCH_3})
      endif()
    endforeach()
  endforeach()

  set(excluded)
  set(tests ${PATCH_PRESET}.${target})
  foreach(item IN LISTS arg_DISPLAY)
    if(NOT item IN_LIST known)
      message(FATAL_ERROR "${target}: the display's ${item} is none of its suites or cases")
    endif()
    if(item MATCHES "\\.")
      set(filter ${item})
    else()
      set(filter ${item}.*)
    endif()
    list(APPEND excluded ${filter})
    add_test(NAME ${PATCH_PRESET}.${item} COMMAND ${target} --gtest_filter=${filter})
    # Its windows, captioned as the program's, show on the desktop where the
    # end-to-end drivers look for the program's: it runs while none does.
    set_tests_properties(${PATCH_PRESET}.${item} PROPERTIES ENVIRONMENT WINE_TEST_DISPLAY=auto
                         RESOURCE_LOCK patch_run)
    list(APPEND tests ${PATCH_PRESET}.${item})
  endforeach()

  if(excluded)
    list(JOIN excluded ":" filter)
    add_test(NAME ${PATCH_PRESET}.${target} COMMAND ${target} --gtest_filter=-${filter})
  else()
    add_test(NAME ${PATCH_PRESET}.${target} COMMAND ${target})
  endif()
  # Under Wine a 32-bit program may not be runnable here; the runner says so with 77.
  set_tests_properties(${tests} PROPERTIES SKIP_RETURN_CODE 77)
endfunction()
