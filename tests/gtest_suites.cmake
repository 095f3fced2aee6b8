# patch_add_gtest_suites(TARGET [DISPLAY SUITE...])
#
# One ctest test per GoogleTest suite of TARGET, named PRESET.SUITE: one run
# of the program with --gtest_filter=SUITE.*, all of the suite's cases in it.
# For the Windows builds, where every run is a start of Wine (through the
# toolchain's emulator, tests/wine/run.sh), this is a few dozen starts instead
# of one per case, while ctest can still spread the suites over the cores and
# a failed case is named in the program's output (--output-on-failure).
#
# The suites are read from the target's sources (the program cannot be run
# at build time to list them): every TEST or TEST_F with its suite on the
# same line. Any other kind of test, or a TEST whose suite this cannot read,
# stops the configuration, so that no case is left out unseen.
#
# DISPLAY names what shows windows: a suite, or one case (SUITE.CASE), which
# then has a test of its own, PRESET.SUITE.CASE, and leaves its suite's run.
# These run on the Wine prefix's own X server (WINE_TEST_DISPLAY=auto). The
# rest runs with no display, where a window that should not be there fails at
# once (and a fatal report's message box returns at once, which the cases that
# let a report return rely on).
function(patch_add_gtest_suites target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "DISPLAY")
  get_target_property(sources ${target} SOURCES)
  set(suites)
  set(cases)
  foreach(source IN LISTS sources)
    if(NOT source MATCHES "\\.cpp$")
      continue()
    endif()
    get_filename_component(path ${source} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
    file(STRINGS ${path} lines REGEX "^[ \t]*(TEST|TEST_F|TEST_P|TYPED_TEST|TYPED_TEST_P)[ \t]*\\(")
    foreach(line IN LISTS lines)
      if(line MATCHES "^[ \t]*TEST(_F)?[ \t]*\\([ \t]*([A-Za-z_][A-Za-z_0-9]*)[ \t]*,[ \t]*([A-Za-z_0-9]*)")
        list(APPEND suites ${CMAKE_MATCH_2})
        list(APPEND cases ${CMAKE_MATCH_2}.${CMAKE_MATCH_3})
      else()
        message(FATAL_ERROR "${path}: no suite read from \"${line}\"; "
                            "patch_add_gtest_suites (tests/gtest_suites.cmake) knows TEST and TEST_F "
                            "with the suite on the line of the macro")
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES suites)
  if(NOT suites)
    message(FATAL_ERROR "${target}: no GoogleTest suite found in its sources")
  endif()
  foreach(item IN LISTS arg_DISPLAY)
    if(NOT item IN_LIST suites AND NOT item IN_LIST cases)
      message(FATAL_ERROR "${target}: the display's ${item} is none of its suites or cases")
    endif()
  endforeach()

  foreach(suite IN LISTS suites)
    # The cases of this suite that have a test of their own.
    set(own)
    foreach(item IN LISTS arg_DISPLAY)
      if(item MATCHES "^${suite}\\.")
        list(APPEND own ${item})
      endif()
    endforeach()
    set(filter ${suite}.*)
    if(own)
      list(JOIN own ":" excluded)
      string(APPEND filter -${excluded})
    endif()
    set(tests ${PATCH_PRESET}.${suite})
    add_test(NAME ${PATCH_PRESET}.${suite} COMMAND ${target} --gtest_filter=${filter})
    foreach(case IN LISTS own)
      add_test(NAME ${PATCH_PRESET}.${case} COMMAND ${target} --gtest_filter=${case})
      set_tests_properties(${PATCH_PRESET}.${case} PROPERTIES ENVIRONMENT WINE_TEST_DISPLAY=auto)
      list(APPEND tests ${PATCH_PRESET}.${case})
    endforeach()
    if(suite IN_LIST arg_DISPLAY)
      set_tests_properties(${PATCH_PRESET}.${suite} PROPERTIES ENVIRONMENT WINE_TEST_DISPLAY=auto)
    endif()
    # Under Wine a 32-bit program may not be runnable here; the runner says so with 77.
    set_tests_properties(${tests} PROPERTIES SKIP_RETURN_CODE 77)
  endforeach()
endfunction()
