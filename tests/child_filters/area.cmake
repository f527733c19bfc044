# The loader tests load the fixture filters (and PDFFILT.dll through the test-only query.dll).
# pellucidor_test_needs(<area> <targets>...): test_<area> depends on the targets; deferred, since
# the test program is declared after this file is read. The fixture filters count when built.
function(pellucidor_test_needs area)
  # A deferred call reads its variables when it runs: write the values into it now.
  string(REPLACE ";" " " targets "${ARGN}")
  cmake_language(EVAL CODE
    "cmake_language(DEFER DIRECTORY \"${CMAKE_CURRENT_SOURCE_DIR}\" CALL _pellucidor_test_needs ${area} ${targets})")
endfunction()
function(_pellucidor_test_needs area)
  if(TARGET test_${area})
    add_dependencies(test_${area} ${ARGN})
    if(TARGET fixtures)
      add_dependencies(test_${area} fixtures)
    endif()
  endif()
endfunction()

pellucidor_test_needs(child_filters query)
