# Programs of the end-to-end tests: a host program that they copy under search engines' process
# names and start as a process of its own, and a child filter that misbehaves on purpose.
add_executable(SearchHost ${CMAKE_CURRENT_LIST_DIR}/host/SearchHost.cpp ${CMAKE_SOURCE_DIR}/tests/common/FilterStream.cpp)
target_include_directories(SearchHost PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests/common)
target_compile_options(SearchHost PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_options(SearchHost PRIVATE -municode)
target_link_libraries(SearchHost PRIVATE ole32 oleaut32 uuid)

add_library(RogueFilter SHARED ${CMAKE_CURRENT_LIST_DIR}/rogue/RogueFilter.cpp ${CMAKE_CURRENT_LIST_DIR}/rogue/RogueFilter.def)
set_target_properties(RogueFilter PROPERTIES PREFIX "" OUTPUT_NAME RogueFilter)
target_compile_options(RogueFilter PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_options(RogueFilter PRIVATE -Wl,--enable-stdcall-fixup -Wl,--kill-at)
target_link_libraries(RogueFilter PRIVATE ole32 uuid)

# The test program is declared after this file is read; it needs these and the fixture filters.
function(pellucidor_end_to_end_dependencies)
  if(TARGET test_end_to_end)
    add_dependencies(test_end_to_end SearchHost RogueFilter query)
    if(TARGET fixtures)
      add_dependencies(test_end_to_end fixtures)
    endif()
  endif()
endfunction()
cmake_language(DEFER CALL pellucidor_end_to_end_dependencies)
